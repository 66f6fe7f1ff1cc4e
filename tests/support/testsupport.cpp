#include "support/testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTimer>

#include "core/settings/settingsfile.h"

namespace zeltest {

void answerNextMessageBox(QMessageBox::StandardButton answer, SeenBox* seen) {
    auto* timer = new QTimer;
    const QDeadlineTimer deadline(5000);
    QObject::connect(timer, &QTimer::timeout, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box && !deadline.hasExpired()) return;
        timer->deleteLater();
        if (!box) return;
        if (seen)
            *seen = {true, box->windowTitle(), box->text(), box->standardButtons(),
                     box->standardButton(box->defaultButton())};
        if (QAbstractButton* b = box->button(answer))
            b->click();
        else
            box->reject();
    });
    timer->start(5);
}

QString settingsPath() {
    return zel::settingsFilePath();
}

void writeSettingsFile(const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(settingsPath()).absolutePath());
    QFile f(settingsPath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write the test settings file");
    f.write(bytes);
}

QByteArray readSettingsFile() {
    QFile f(settingsPath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void removeSettingsFile() {
    QFile::remove(settingsPath());
}

QByteArray sampleRecord() {
    const QByteArray on("\xFF\xFF", 2), off("\x00\x00", 2);
    QByteArray r;
    r += on + off + "COM 2" + on + off;
    r += QByteArray("1234567").leftJustified(24, ' ');
    r += "0     " + QByteArray("9     ") + "0     " + QByteArray("*70   ");
    r += "COM 3" + off + on + off;
    r += "0     " + QByteArray("AT").leftJustified(23, ' ');
    r += off + on + "110" + "110";
    Q_ASSERT(r.size() == 111);
    return r;
}

} // namespace zeltest
