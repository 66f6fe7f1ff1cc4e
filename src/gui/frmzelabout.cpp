#include "gui/frmzelabout.h"

#include "gui/twips.h"

#include <QLabel>
#include <QVBoxLayout>

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
    setWindowTitle(QStringLiteral("About Zel"));
    setAttribute(Qt::WA_DeleteOnClose);
    // Laid out rather than placed: every line is as wide as its text needs.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(zel::px(360), zel::px(240), zel::px(360), zel::px(240));
    layout->setSpacing(zel::px(30));
    auto add = [&](const QString& name, const QString& text, const QFont* font, int spaceBefore = 0) {
        if (spaceBefore) layout->addSpacing(spaceBefore);
        auto* label = new QLabel(text, this);
        label->setObjectName(name);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        if (font) label->setFont(*font);
        layout->addWidget(label);
    };
    QFont title = zel::panelFont("MS Serif", 15, true);
    title.setStyleHint(QFont::Serif);
    QFont bold = zel::panelFont("MS Sans Serif", 8.25, true);
    bold.setStyleHint(QFont::SansSerif);
    const QString company = QString::fromLatin1(Company);
    add(QStringLiteral("Label1"), company + QStringLiteral(" Model Zel"), &title);
    add(QStringLiteral("Label2"), QStringLiteral("Version - ") + QStringLiteral(ZEL_VERSION), nullptr,
        zel::px(120));
    add(QStringLiteral("Label3(0)"), company, &bold, zel::px(240));
    add(QStringLiteral("Label3(1)"), QString::fromLatin1(Street), &bold);
    add(QStringLiteral("Label3(2)"), QString::fromLatin1(City), &bold);
    add(QStringLiteral("Label3(3)"), QString::fromLatin1(Phones), nullptr, zel::px(360));
    add(QStringLiteral("Label3(4)"), QString::fromLatin1(WebMail), nullptr);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
