#pragma once
// How bytes reach one monitor: a serial port, a serial device server over the
// network (raw TCP or RFC 2217), or the built-in stand-in. A transport is a
// QIODevice opened unbuffered: read() and write() go straight to the line.
// The link and poll use only what is declared here.
#include <QIODevice>
#include <QString>

namespace zel {

class Transport : public QIODevice {
    Q_OBJECT
public:
    using QIODevice::QIODevice;

    // The operator's port text, as given.
    virtual QString portText() const = 0;

    // Starts opening the link. False: it failed at once (a text that names
    // nothing, a device that is missing or busy); errorString() says why.
    // True: the link is open now (isOpen()) or opens later, with opened(), or
    // fails later, with failed(reason) (a refused connection, a name that
    // does not resolve).
    virtual bool openLink() = 0;

    // Throws away everything received and not yet read.
    virtual void discardInput() = 0;

    // The modem's DTR line (RFC 2217 carries it to the device server).
    virtual void setDataTerminalReady(bool on) { Q_UNUSED(on); }

    // A reply `characters` long is on its way; a port that can may stop
    // watching its input until it should be in and read it whole then,
    // emitting replyOverdue() if it is not. Others ignore it.
    virtual void awaitReply(int characters) { Q_UNUSED(characters); }
    // Time one character takes on the line, 0 when unknown.
    virtual qint64 characterTimeNs() const { return 0; }
    // The line is reached across a network, whose round trip the poll covers.
    virtual bool crossesNetwork() const { return false; }

    bool isSequential() const override { return true; }

signals:
    // An asynchronous openLink() completed.
    void opened();
    // The awaited reply was not complete when due; `arrived` of its
    // characters are in.
    void replyOverdue(int arrived);
    // The link failed, while opening or while open. The transport is closed
    // when this is emitted; `reason` is for the operator.
    void failed(const QString& reason);
};

} // namespace zel
