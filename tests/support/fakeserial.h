#pragma once
// A serial port for window tests: records what is written, lets the test
// feed received bytes, refuse to open, or fail while open.
#include "link/serialio.h"

class FakeSerial : public SerialIo {
    Q_OBJECT
public:
    using SerialIo::SerialIo;

    void setPortText(const QString& text) override { m_text = text; }
    QString portText() const override { return m_text; }
    void setSettings(const QString& settings) override { lineSettings = settings; }
    bool open() override {
        ++openCount;
        if (!openError.isEmpty()) return false;
        m_open = true;
        return true;
    }
    bool isOpen() const override { return m_open; }
    void close() override {
        if (m_open) ++closeCount;
        m_open = false;
        input.clear();
    }
    qint64 write(const QByteArray& data) override {
        if (!m_open) return -1;
        written += data;
        writes.append(data);
        return data.size();
    }
    qint64 bytesAvailable() const override { return input.size(); }
    QByteArray readAll() override {
        QByteArray all = input;
        input.clear();
        return all;
    }
    void discardInput() override { input.clear(); }
    void setReadThreshold(int count) override { readThreshold = count; }
    void awaitReply(int characters) override { awaited.append(characters); }
    qint64 characterTimeNs() const override { return charTimeNs; }
    QString errorString() const override { return openError; }

    // Test side.
    void receive(const QByteArray& data) {
        input += data;
        emit readyRead();
    }
    void failNow(const QString& reason) {
        m_open = false;
        input.clear();
        emit failed(reason);
    }
    // Keeps the port "open" while opening it again (a port left open).
    void setOpenState(bool open) { m_open = open; }

    QString lineSettings;
    QString openError; // non-empty: open() fails with this reason
    QByteArray input;
    QByteArray written;
    QList<QByteArray> writes;
    int readThreshold = 1;
    QList<int> awaited;    // awaitReply() calls
    qint64 charTimeNs = 0; // what characterTimeNs() reports
    int openCount = 0;
    int closeCount = 0;

private:
    QString m_text;
    bool m_open = false;
};
