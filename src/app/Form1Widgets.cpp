// The main window's controls, at the places its layout gives them.
#include <QAction>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include "app/Form1.h"
#include "cluster/ClusterSession.h"
#include "widgets/ElidingLabel.h"
#include "widgets/FitButton.h"
#include "widgets/FitGroupBox.h"
#include "widgets/FitLabel.h"

namespace tavrin {

void Form1::buildWidgets() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(Tw(6270), Tw(1365));
    setCentralWidget(client);

    Connect_Command = new FitButton(QStringLiteral("&Connect"), client);
    Connect_Command->setObjectName(QStringLiteral("Connect_Command"));
    Connect_Command->setGeometry(Tw(840), Tw(120), Tw(1215), Tw(495));

    Command1 = new FitButton(QStringLiteral("&Toggle Police Mode"), client);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(Tw(4080), Tw(120), Tw(1215), Tw(495));

    ClusterInfo = new FitGroupBox(QStringLiteral("Cluster Information"), client);
    ClusterInfo->setObjectName(QStringLiteral("ClusterInfo"));
    ClusterInfo->setGeometry(Tw(120), Tw(720), Tw(4335), Tw(615));
    ClusterInfotext = new FitLabel(ClusterInfo);
    ClusterInfotext->setObjectName(QStringLiteral("ClusterInfotext"));
    ClusterInfotext->setGeometry(Tw(120), Tw(240), Tw(2415), Tw(255));
    ClusterInfotext->setTextFormat(Qt::PlainText);
    ClusterInfotext->setAccessibleName(QStringLiteral("Car model"));

    Frame1 = new FitGroupBox(QStringLiteral("Police Mode"), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(Tw(4560), Tw(720), Tw(1575), Tw(615));
    PM_label = new FitLabel(Frame1);
    PM_label->setObjectName(QStringLiteral("PM_label"));
    PM_label->setGeometry(Tw(120), Tw(240), Tw(1335), Tw(255));
    PM_label->setTextFormat(Qt::PlainText);
    PM_label->setAccessibleName(QStringLiteral("Police mode"));

    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(Tw(375));
    // Panels 1, 3 and 4 are as wide as their texts (a part number, a port and
    // speed or a Wi-Fi adapter's address, a state: setPanelText widens 1 and
    // 3); the adapter's name takes the rest.
    const QFontMetrics metrics(bar->font());
    int stateWidth = 0;
    for (const char* state : {"Not Connected", "Connecting...", "Connected"})
        stateWidth = qMax(stateWidth, metrics.horizontalAdvance(QLatin1String(state)));
    const int fixedWidth[4] = {
        10, 0, metrics.horizontalAdvance(QStringLiteral("COM 16 / 115200")) + 10, stateWidth + 10};
    // What a screen reader says for each panel.
    const char* const names[4] = {"Cluster part number", "Adapter", "Port and speed",
                                  "Connection status"};
    for (int i = 0; i < 4; ++i) {
        // A long adapter name is shortened rather than pushing panels 3 and 4
        // out of sight.
        panels_[i] = fixedWidth[i] > 0 ? new QLabel(bar) : new ElidingLabel(bar);
        panels_[i]->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        panels_[i]->setAccessibleName(QLatin1String(names[i]));
        panels_[i]->setTextFormat(Qt::PlainText);
        panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panels_[i]->setMinimumWidth(fixedWidth[i] > 0 ? fixedWidth[i] : 10);
        // As wide as their text, no wider: the room left is the name's.
        if (fixedWidth[i] > 0)
            panels_[i]->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        bar->addWidget(panels_[i], fixedWidth[i] > 0 ? 0 : 1);
    }
    // Connect's steps, beside the connection status, while it connects.
    connectProgress_ = new QProgressBar(bar);
    connectProgress_->setObjectName(QStringLiteral("ConnectProgress"));
    connectProgress_->setAccessibleName(QStringLiteral("Connection steps done"));
    connectProgress_->setRange(0, ClusterSession::kConnectSteps);
    connectProgress_->setTextVisible(false);
    connectProgress_->setFixedWidth(metrics.horizontalAdvance(QStringLiteral("COM 16")));
    connectProgress_->hide();
    bar->addPermanentWidget(connectProgress_);
    setStatusBar(bar);

    mnu_Setup = menuBar()->addAction(QStringLiteral("&Setup"));
    mnu_Setup->setObjectName(QStringLiteral("mnu_Setup"));
    mnu_About = menuBar()->addAction(QStringLiteral("&About"));
    mnu_About->setObjectName(QStringLiteral("mnu_About"));
    mnu_Log = menuBar()->addAction(QStringLiteral("&Log"));
    mnu_Log->setObjectName(QStringLiteral("mnu_Log"));
    // Ctrl+Q quits: as closing the window does while an operation runs.
    auto* quit = new QAction(QStringLiteral("Quit"), this);
    quit->setObjectName(QStringLiteral("mnu_Quit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    addAction(quit);
    connect(quit, &QAction::triggered, this, &Form1::quit);

    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace tavrin
