#pragma once
// The real serial port: QSerialPort for device texts, the in-process stand-in
// monitor for "SIM". Port failures while open (adapter pulled, pseudo-terminal
// closed) close the port and emit failed() once.
#include "link/serialio.h"

#include <memory>

class SerialPort : public SerialIo {
    Q_OBJECT
public:
    explicit SerialPort(QObject* parent = nullptr);
    ~SerialPort() override;

    void setPortText(const QString& text) override;
    QString portText() const override;
    void setSettings(const QString& settings) override;
    bool open() override;
    bool isOpen() const override;
    void close() override;
    qint64 write(const QByteArray& data) override;
    qint64 bytesAvailable() const override;
    QByteArray readAll() override;
    void discardInput() override;
    QString errorString() const override;
    void setReadThreshold(int count) override;
    void awaitReply(int characters) override;
    qint64 characterTimeNs() const override;

private:
    // The awaited reply should be in: read it, or report it overdue.
    void onReplyDue();
    // Closes the port and emits failed(reason) once, from the event loop.
    void fail(const QString& reason);

    struct Impl;
    std::unique_ptr<Impl> d;
};
