#include "about/frmAbout.h"

#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>

#include "Version.h"
#include "platform/VersionInfo.h"
#include "widgets/FitButton.h"
#include "widgets/FitLabel.h"
#include "widgets/Twips.h"

// The resources live in the static core library; the linker keeps them only
// when something refers to them. Q_INIT_RESOURCE must run outside a namespace.
static void initTavrinResources() {
    Q_INIT_RESOURCE(tavrin);
}

namespace tavrin {

namespace {

const char kIconPng[] = ":/icons/tavrin-32.png";

void ensureResources() {
    static const bool done = [] {
        initTavrinResources();
        return true;
    }();
    Q_UNUSED(done);
}

QLabel* blackLabel(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(palette);
    return label;
}

// One element of the separator: a solid run of one colour.
QWidget* makeLine(QWidget* parent, const char* name, const QColor& colour, const QRect& rect) {
    auto* line = new QWidget(parent);
    line->setObjectName(QLatin1String(name));
    line->setGeometry(rect);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, colour);
    line->setPalette(palette);
    line->setAttribute(Qt::WA_TransparentForMouseEvents);
    return line;
}

}  // namespace

QIcon ProgramIcon() {
    ensureResources();
    return QIcon(QLatin1String(kIconPng));
}

QPixmap ProgramIconPixmap() {
    ensureResources();
    return QPixmap(QLatin1String(kIconPng));
}

frmAbout::frmAbout() : QDialog(nullptr) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    // Stays open when the main window closes, and is rebuilt on each opening.
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFixedSize(Tw(5730), Tw(3210));

    // Created first so that it holds the focus: Enter and Esc both close.
    cmdOK = new FitButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(Tw(4245), Tw(2400), Tw(1260), Tw(345));
    cmdOK->setDefault(true);
    cmdOK->setAutoDefault(true);

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setGeometry(Tw(120), Tw(120), Tw(480), Tw(480));
    picIcon->setPixmap(ProgramIconPixmap());
    picIcon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblDescription = blackLabel(new FitLabel(this));
    lblDescription->setObjectName(QStringLiteral("lblDescription"));
    lblDescription->setGeometry(Tw(1050), Tw(720), Tw(3885), Tw(1170));
    lblDescription->setTextFormat(Qt::PlainText);
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblDisclaimer = blackLabel(new FitLabel(this));
    lblDisclaimer->setObjectName(QStringLiteral("lblDisclaimer"));
    lblDisclaimer->setGeometry(Tw(240), Tw(2160), Tw(3870), Tw(945));
    lblDisclaimer->setTextFormat(Qt::PlainText);
    lblDisclaimer->setWordWrap(true);
    lblDisclaimer->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    lblTitle = blackLabel(new FitLabel(this));
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblTitle->setGeometry(Tw(1050), Tw(240), Tw(3885), Tw(240));
    lblTitle->setTextFormat(Qt::PlainText);

    lblVersion = new FitLabel(this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblVersion->setGeometry(Tw(1050), Tw(480), Tw(3885), Tw(225));
    lblVersion->setTextFormat(Qt::PlainText);

    setTabOrder(cmdOK, picIcon);
    setTabOrder(picIcon, lblDescription);
    setTabOrder(lblDescription, lblDisclaimer);
    setTabOrder(lblDisclaimer, lblTitle);
    setTabOrder(lblTitle, lblVersion);

    // White under grey, one pixel lower: the usual etched look. Element 1
    // (grey) is raised above element 0 (white).
    const int y = Tw(2040);
    Line1[0] = makeLine(this, "Line1_0", Qt::white, QRect(Tw(120), y, Tw(5669) - Tw(120) + 1, 2));
    Line1[1] = makeLine(this, "Line1_1", QColor(128, 128, 128),
                        QRect(Tw(90), y, Tw(5654) - Tw(90) + 1, 1));
    Line1[1]->raise();

    // As the main window names it: the version information's ProductName.
    const QString product = ProgramProductName(QLatin1String(version::kProductName));
    setWindowTitle(QStringLiteral("About ") + product);
    lblVersion->setText(QStringLiteral("Version ") + QLatin1String(version::kVersion));
    lblTitle->setText(product);
    lblDescription->setText(
        QStringLiteral("This program can be used on the following cars:\r\n"
                       "2002 - 2008 BA/BF Falcon Series\r\n"
                       "2004 - 2010 SX/SY Territory Series\r\n"));
    lblDisclaimer->setText(
        QStringLiteral(" Warning: This program may damage your instrument cluster!  Use at own "
                       "risk.  I take no responsibility for incorrect use or damage that may be "
                       "caused by this program, directly or indirectly"));

    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tavrin
