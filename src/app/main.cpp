#include "core/session/eventloop.h"
#include "gui/frmzelmain.h"

#include <QApplication>

int main(int argc, char** argv) {
    zel::preferLeanEventLoop();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zel"));
    QApplication::setApplicationVersion(QStringLiteral(ZEL_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    FrmZelMain window;
    QObject::connect(&window, &FrmZelMain::programEnded, &app, [] { QCoreApplication::exit(0); });
    if (window.isExiting()) return 0;
    window.show();
    return app.exec();
}
