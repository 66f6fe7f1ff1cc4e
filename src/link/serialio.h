#pragma once
// The serial operations the panel needs, in the order its callers use them:
// choose the port and line settings, open, then write / bytes waiting / read
// all / discard, and close. The real implementation (SerialPort) sits on
// QSerialPort or on the built-in stand-in monitor; tests use a fake.
#include <QByteArray>
#include <QObject>
#include <QString>

class SerialIo : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialIo() override = default;

    // The operator's port text ("COM 3", "USB0", "/dev/pts/4", "SIM"). Only
    // taken while the port is closed.
    virtual void setPortText(const QString& text) = 0;
    virtual QString portText() const = 0;
    // Line settings in the "9600,n,8,1" form.
    virtual void setSettings(const QString& settings) = 0;

    // Opens the port; on failure returns false and errorString() says why.
    virtual bool open() = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;

    virtual qint64 write(const QByteArray& data) = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray readAll() = 0;
    // Throws away everything received and not yet read.
    virtual void discardInput() = 0;

    virtual QString errorString() const = 0;

    // Asks the driver to report data only once `count` characters wait (a
    // whole reply while polling), so the line wakes the program once per
    // packet rather than once per character. 1 restores the usual behaviour.
    // A port that cannot do this ignores it.
    virtual void setReadThreshold(int count) { Q_UNUSED(count); }
    // A reply `characters` long is on its way: already on the line behind the
    // characters just read, or answering a request just written. It cannot
    // be complete before that many characters have crossed the line, so the
    // port may stop watching its input until the reply should be in and read
    // it then, whole, in one wake-up: the driver would otherwise wake the
    // program for every character. If it is not complete by then, the port
    // emits replyOverdue() and watches its input again. A port that cannot do
    // this ignores it.
    virtual void awaitReply(int characters) { Q_UNUSED(characters); }
    // Time one character takes on the line, 0 when unknown.
    virtual qint64 characterTimeNs() const { return 0; }

signals:
    void readyRead();
    // The reply awaited with awaitReply() was not complete when it should
    // have been; `arrived` of its characters are in (0: the line is idle).
    // The rest, if any, is reported by readyRead() as it comes.
    void replyOverdue(int arrived);
    // The open port failed (device removed, line gone). The port is already
    // closed when this is emitted; `reason` is for the operator.
    void failed(const QString& reason);
};
