#pragma once
// A transport that records writes and DTR, and is fed, refused or failed by the test.
#include "core/link/linkcontroller.h"
#include "core/transport/transport.h"

#include <QList>
#include <QPointer>
#include <memory>

class FakeTransport : public zel::Transport {
    Q_OBJECT
public:
    explicit FakeTransport(const QString& portText)
        : m_text(portText) {}

    QString portText() const override { return m_text; }
    bool openLink() override {
        if (!openError.isEmpty()) {
            setErrorString(openError);
            return false;
        }
        return open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    void discardInput() override { input.clear(); }
    void setDataTerminalReady(bool on) override { dtr.append(on); }
    void awaitReply(int characters) override { awaited.append(characters); }
    qint64 characterTimeNs() const override { return charTimeNs; }
    qint64 bytesAvailable() const override { return input.size(); }

    void receive(const QByteArray& data) {
        input += data;
        emit readyRead();
    }
    void failNow(const QString& reason) {
        close();
        emit failed(reason);
    }

    QString openError; // non-empty: openLink() fails with this reason
    QByteArray input, written;
    QList<QByteArray> writes;
    QList<bool> dtr;
    QList<int> awaited;
    qint64 charTimeNs = 0;

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = qMin<qint64>(maxSize, input.size());
        memcpy(data, input.constData(), size_t(n));
        input.remove(0, n);
        return n;
    }
    qint64 writeData(const char* data, qint64 size) override {
        const QByteArray bytes(data, size);
        written += bytes;
        writes.append(bytes);
        return size;
    }

private:
    QString m_text;
};

// Fake transports for `link`, `*latest` the newest; a non-empty `openError` refuses every open.
inline void useFakeTransports(zel::LinkController* link, QPointer<FakeTransport>* latest,
                              const QString& openError = {}) {
    link->setTransportFactory([latest, openError](const QString& text, QString*) {
        auto t = std::make_unique<FakeTransport>(text);
        t->openError = openError;
        *latest = t.get();
        return std::unique_ptr<zel::Transport>(std::move(t));
    });
}
