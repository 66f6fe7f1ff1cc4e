#pragma once
// A transport for window tests: it opens or refuses as told, records what is
// written and lets the test feed received bytes or fail the line.
#include "core/link/linkcontroller.h"
#include "core/transport/transport.h"

#include <QPointer>
#include <memory>

class ScriptedTransport : public zel::Transport {
    Q_OBJECT
public:
    explicit ScriptedTransport(const QString& text)
        : m_text(text) {}

    QString portText() const override { return m_text; }
    bool openLink() override {
        if (!refusal.isEmpty()) {
            setErrorString(refusal);
            return false;
        }
        return QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    void close() override {
        m_input.clear();
        QIODevice::close();
    }
    void discardInput() override { m_input.clear(); }
    qint64 bytesAvailable() const override { return m_input.size(); }

    void receive(const QByteArray& data) {
        m_input += data;
        emit readyRead();
    }
    void failNow(const QString& reason) {
        close();
        emit failed(reason);
    }

    QString refusal; // non-empty: openLink() fails with it
    QByteArray written;

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = qMin<qint64>(maxSize, m_input.size());
        memcpy(data, m_input.constData(), size_t(n));
        m_input.remove(0, n);
        return n;
    }
    qint64 writeData(const char* data, qint64 maxSize) override {
        written.append(data, maxSize);
        return maxSize;
    }

private:
    QString m_text;
    QByteArray m_input;
};

// Puts scripted transports into `link`; `*latest` follows the newest one.
// A non-empty `refusal` makes each of them refuse to open.
inline void useScriptedTransports(zel::LinkController* link, QPointer<ScriptedTransport>* latest,
                                  const QString& refusal = {}) {
    link->setTransportFactory([latest, refusal](const QString& text, QString*) {
        auto t = std::make_unique<ScriptedTransport>(text);
        t->refusal = refusal;
        *latest = t.get();
        return std::unique_ptr<zel::Transport>(std::move(t));
    });
}
