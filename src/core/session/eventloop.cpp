#include "core/session/eventloop.h"

#include <QByteArray>
#include <QtGlobal>

void zel::preferLeanEventLoop() {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
}
