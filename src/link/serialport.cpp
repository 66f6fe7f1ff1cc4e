#include "link/serialport.h"

// Placeholder until the QSerialPort implementation lands.
struct SerialPort::Impl {
    QString text;
};

SerialPort::SerialPort(QObject* parent)
    : SerialIo(parent)
    , d(std::make_unique<Impl>()) {}
SerialPort::~SerialPort() = default;
void SerialPort::setPortText(const QString& text) {
    d->text = text;
}
QString SerialPort::portText() const {
    return d->text;
}
void SerialPort::setSettings(const QString&) {}
bool SerialPort::open() {
    return false;
}
bool SerialPort::isOpen() const {
    return false;
}
void SerialPort::close() {}
qint64 SerialPort::write(const QByteArray&) {
    return -1;
}
qint64 SerialPort::bytesAvailable() const {
    return 0;
}
QByteArray SerialPort::readAll() {
    return {};
}
void SerialPort::discardInput() {}
QString SerialPort::errorString() const {
    return QStringLiteral("not implemented");
}
