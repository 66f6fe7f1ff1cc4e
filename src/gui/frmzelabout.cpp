#include "gui/frmzelabout.h"

#include "gui/twips.h"

#include <QLabel>

namespace {
// The maker's identity.
constexpr const char* Company = "Larkspur Broadcast Instruments";
constexpr const char* Street = "1420 Transmitter Hill Road";
constexpr const char* City = "Pine Hollow, OR 97399";
constexpr const char* Phones = "Ph. (541) 555-0142 / Fx. (541) 555-0143";
constexpr const char* WebMail = "www.larkspur-bi.example / service@larkspur-bi.example";
} // namespace

FrmZelAbout::FrmZelAbout(QWidget* parent)
    : QWidget(parent, Qt::Window) {
    setWindowTitle(QString());
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(zel::px(4590), zel::px(3120));
    auto add = [this](const QString& name, const QString& text, int l, int t, int w, int h,
                      const QFont* font) {
        auto* label = new QLabel(text, this);
        label->setObjectName(name);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        if (font) label->setFont(*font);
        zel::placeTwips(label, l, t, w, h);
    };
    QFont title = zel::panelFont("MS Serif", 15, true);
    title.setStyleHint(QFont::Serif);
    QFont bold = zel::panelFont("MS Sans Serif", 8.25, true);
    bold.setStyleHint(QFont::SansSerif);
    const QString company = QString::fromLatin1(Company);
    add(QStringLiteral("Label1"), company + QStringLiteral(" Model Zel"), 360, 240, 3855, 375, &title);
    add(QStringLiteral("Label2"), QStringLiteral("Version - 1.1.0"), 1680, 840, 1215, 255, nullptr);
    add(QStringLiteral("Label3(0)"), company, 360, 1320, 3855, 255, &bold);
    add(QStringLiteral("Label3(1)"), QString::fromLatin1(Street), 360, 1560, 3855, 255, &bold);
    add(QStringLiteral("Label3(2)"), QString::fromLatin1(City), 360, 1800, 3855, 255, &bold);
    add(QStringLiteral("Label3(3)"), QString::fromLatin1(Phones), 360, 2520, 3855, 255, nullptr);
    add(QStringLiteral("Label3(4)"), QString::fromLatin1(WebMail), 360, 2760, 3855, 255, nullptr);
}
