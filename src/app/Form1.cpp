#include "app/Form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <utility>

#include "Version.h"
#include "about/frmAbout.h"
#include "app/frmLog.h"
#include "cluster/ClusterSession.h"
#include "config/INI_Handler.h"
#include "config/Setup_Form.h"
#include "core/Defines.h"
#include "platform/AdapterLine.h"
#include "platform/Clock.h"
#include "platform/ElidingLabel.h"
#include "platform/Host.h"
#include "platform/WrapButton.h"
#include "serial/SerialPort.h"

namespace tavrin {

namespace {

// Captions with their mnemonics: Alt and the underlined letter click them.
const QString kConnect = QStringLiteral("&Connect");
const QString kDisconnect = QStringLiteral("&Disconnect");
const QString kCancel = QStringLiteral("&Cancel");

// One window of each kind: an open one is only brought to the front.
bool bringToFront(QWidget* window) {
    if (!window || !window->isVisible()) return false;
    window->raise();
    window->activateWindow();
    return true;
}
const QString kNotConnected = QStringLiteral("Not Connected");
const QString kConnecting = QStringLiteral("Connecting...");
const QString kConnected = QStringLiteral("Connected");
// The window was closed after a change went out: its outcome comes first.
const QString kFinishing = QStringLiteral("Finishing...");

}  // namespace

QString MainCaption() {
    return QStringLiteral("%1 v%2.%3%4")
        .arg(QLatin1String(version::kProductName))
        .arg(version::kMajor)
        .arg(version::kMinor)
        .arg(version::kRevision);
}

Form1::Form1(Defines& defines, Host& host, QWidget* parent)
    : QMainWindow(parent), d_(defines), host_(host) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(Tw(6270), Tw(1365));
    setCentralWidget(client);

    Connect_Command = new WrapButton(kConnect, client);
    Connect_Command->setObjectName(QStringLiteral("Connect_Command"));
    Connect_Command->setGeometry(Tw(840), Tw(120), Tw(1215), Tw(495));

    Command1 = new WrapButton(QStringLiteral("&Toggle Police Mode"), client);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(Tw(4080), Tw(120), Tw(1215), Tw(495));

    ClusterInfo = new QGroupBox(QStringLiteral("Cluster Information"), client);
    ClusterInfo->setObjectName(QStringLiteral("ClusterInfo"));
    ClusterInfo->setGeometry(Tw(120), Tw(720), Tw(4335), Tw(615));
    ClusterInfotext = new QLabel(ClusterInfo);
    ClusterInfotext->setObjectName(QStringLiteral("ClusterInfotext"));
    ClusterInfotext->setGeometry(Tw(120), Tw(240), Tw(2415), Tw(255));
    ClusterInfotext->setTextFormat(Qt::PlainText);
    ClusterInfotext->setAccessibleName(QStringLiteral("Car model"));

    Frame1 = new QGroupBox(QStringLiteral("Police Mode"), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(Tw(4560), Tw(720), Tw(1575), Tw(615));
    PM_label = new QLabel(Frame1);
    PM_label->setObjectName(QStringLiteral("PM_label"));
    PM_label->setGeometry(Tw(120), Tw(240), Tw(1335), Tw(255));
    PM_label->setTextFormat(Qt::PlainText);
    PM_label->setAccessibleName(QStringLiteral("Police mode"));

    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(Tw(375));
    // Panels 3 and 4 are as wide as their longest texts; 1 and 2 share the rest.
    const QFontMetrics metrics(bar->font());
    const int fixedWidth[4] = {0, 0,
                               metrics.horizontalAdvance(QStringLiteral("COM 16 / 115200")) + 10,
                               metrics.horizontalAdvance(kNotConnected) + 10};
    // What a screen reader says for each panel.
    const char* const names[4] = {"Cluster part number", "Adapter", "Port and speed",
                                  "Connection status"};
    for (int i = 0; i < 4; ++i) {
        // A long adapter name ends in "…" rather than pushing panels 3 and 4
        // out of sight.
        panels_[i] = fixedWidth[i] > 0 ? new QLabel(bar) : new ElidingLabel(bar);
        panels_[i]->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        panels_[i]->setAccessibleName(QLatin1String(names[i]));
        panels_[i]->setTextFormat(Qt::PlainText);
        panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panels_[i]->setMinimumWidth(fixedWidth[i] > 0 ? fixedWidth[i] : 10);
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
    modeCaption_ = kConnect;

    session_ = new ClusterSession(d_, host_, this);
    MSComm1 = &session_->port();
    Timer1 = &session_->watchdog();

    connect(Connect_Command, &QPushButton::clicked, this, &Form1::connectClicked);
    connect(Command1, &QPushButton::clicked, this, &Form1::toggleClicked);
    connect(mnu_Setup, &QAction::triggered, this, &Form1::mnu_Setup_Click);
    connect(mnu_About, &QAction::triggered, this, &Form1::mnu_About_Click);
    connect(mnu_Log, &QAction::triggered, this, &Form1::mnu_Log_Click);

    // What the session reports, shown where the window shows it.
    connect(session_, &ClusterSession::connecting, this, [this] { setPanelText(4, kConnecting); });
    connect(session_, &ClusterSession::connectStep, connectProgress_, &QProgressBar::setValue);
    connect(session_, &ClusterSession::adapterIdentified, this, [this](const QString& text) {
        adapterName_ = text;
        setPanelText(2, text);
    });
    connect(session_, &ClusterSession::modelIdentified, ClusterInfotext, &QLabel::setText);
    connect(session_, &ClusterSession::clusterIdentified, this, [this](const QString& part) {
        setPanelText(1, part);
        command1Wanted_ = true;
        // Shown once the operation ends; until then the button offers Cancel.
        modeCaption_ = kDisconnect;
        refreshControls();
    });
    connect(session_, &ClusterSession::connected, this, [this] {
        setPanelText(4, kConnected);
        refreshControls();
    });
    connect(session_, &ClusterSession::policeModeShown, PM_label, &QLabel::setText);
    // A change went out and what the cluster holds now is not known.
    connect(session_, &ClusterSession::policeModeUnknown, PM_label, &QLabel::clear);
    connect(session_, &ClusterSession::watchdogExpired, this,
            [this](const Message& m) { host_.showMessage(this, m); });
    connect(session_, &ClusterSession::connectionClosed, this, &Form1::showNotConnected);
    connect(session_, &ClusterSession::portLost, this,
            [this](const Message& m) { host_.showMessage(this, m); });
    connect(session_, &ClusterSession::cancellableChanged, this, &Form1::refreshControls);

    // Load: the toggle waits for an identified cluster, and no setting read
    // earlier stands for the car connected now.
    Command1->setEnabled(false);
    PM_label->setEnabled(false);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

Form1::~Form1() {
    if (setup_) setup_->deleteLater();
    if (about_) about_->deleteLater();
    if (log_) log_->deleteLater();
}

QString Form1::panelText(int panel) const {
    return panel >= 1 && panel <= 4 ? panels_[panel - 1]->text() : QString();
}

void Form1::setPanelText(int panel, const QString& text) {
    if (panel < 1 || panel > 4) return;
    panels_[panel - 1]->setText(text);
    // The panels are narrow; the whole text is there on hover.
    panels_[panel - 1]->setToolTip(text);
}

bool Form1::busy() const {
    return busy_ || session_->busy();
}

QWidget* Form1::setupDialog() const {
    return setup_;
}
QWidget* Form1::aboutBox() const {
    return about_;
}
QWidget* Form1::logWindow() const {
    return log_;
}

void Form1::setBusy(bool busy) {
    busy_ = busy;
    refreshControls();
}

void Form1::refreshControls() {
    // While the adapter is being talked to, nothing may start a second
    // exchange or close the port under it; the one way out is Cancel, and
    // only while the session allows it.
    Connect_Command->setText(busy_ ? kCancel : modeCaption_);
    Connect_Command->setEnabled(!busy_ || session_->cancellable());
    mnu_Setup->setEnabled(!busy_);
    Command1->setEnabled(!busy_ && command1Wanted_);
    // Greyed while no connection is open: a setting read earlier is not the
    // current one, perhaps not even this car's.
    PM_label->setEnabled(session_->isConnected());
}

bool Form1::secondClick() const {
    return lastActMs_ >= 0 &&
           host_.clock().nowMs() - lastActMs_ < QApplication::doubleClickInterval();
}

void Form1::quit() {
    quitWhenClosed_ = true;
    close();
}

void Form1::closeEvent(QCloseEvent* event) {
    if (!busy_) {
        // Nothing is left holding the port.
        session_->Disconnect();
        QMainWindow::closeEvent(event);
        if (std::exchange(quitWhenClosed_, false)) {
            for (QWidget* window : {setup_.data(), about_.data(), log_.data()}) {
                if (window) window->close();
            }
        }
        return;
    }
    // The operation's wait is on the stack: the window closes once it has
    // returned. Before the write that is at once; after it, the outcome is
    // read back, recorded and shown first.
    event->ignore();
    closeWhenDone_ = true;
    if (!session_->Cancel()) setPanelText(4, kFinishing);
}

void Form1::operationEnded(const QList<Message>& messages) {
    setBusy(false);
    showMessages(messages);
    if (std::exchange(closeWhenDone_, false)) close();
}

void Form1::showMessages(const QList<Message>& messages) {
    for (const Message& m : messages) host_.showMessage(this, m);
}

// ---------------------------------------------------------------- Connect

void Form1::connectClicked() {
    // The second click of a double-click: the first one's operation stands.
    if (secondClick()) return;
    Connect_Command_Click();
}

void Form1::Connect_Command_Click() {
    lastActMs_ = host_.clock().nowMs();
    if (busy_) {
        // The button reads Cancel while an operation runs; the session
        // refuses once a write is on its way.
        session_->Cancel();
        return;
    }
    if (session_->busy()) return;
    if (Connect_Command->text() == kConnect) {
        setBusy(true);
        connectProgress_->setValue(0);
        connectProgress_->show();
        const SessionReport report = session_->Connect();
        connectProgress_->hide();
        operationEnded(report.messages);
    } else {
        // Release the port too, so the next Connect can open it again.
        session_->Disconnect();
    }
}

void Form1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (busy_) session_->Cancel();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void Form1::showNotConnected() {
    // Whoever closed the port, the window must not claim a connection it no
    // longer has, show a cluster it no longer talks to, or offer to write.
    modeCaption_ = kConnect;
    setPanelText(1, QString());
    setPanelText(2, QString());
    ClusterInfotext->setText(QString());
    setPanelText(4, kNotConnected);
    command1Wanted_ = false;
    refreshControls();
}

// ------------------------------------------------------------- Police mode

void Form1::toggleClicked() {
    if (secondClick()) return;
    Command1_Click();
}

void Form1::Command1_Click() {
    if (busy() || !Command1->isEnabled()) return;
    lastActMs_ = host_.clock().nowMs();
    setBusy(true);
    const PoliceReport report = session_->TogglePoliceMode();
    command1Wanted_ = session_->isConnected();
    operationEnded(report.messages);
}

// ------------------------------------------------------------------ Menus

void Form1::mnu_Setup_Click() {
    // One dialog at a time; choosing Setup again keeps the user's selection.
    if (bringToFront(setup_)) return;
    QPointer<Form1> self(this);
    auto* dialog = new Setup_Form(
        d_, host_, MSComm1,
        [self](const QString& text) {
            if (self) self->setPanelText(3, text);
        },
        [self] { return self && self->busy(); });
    setup_ = dialog;
    dialog->show();
}

QStringList Form1::logHeader() const {
    const QString folder = SettingsFolder(d_, host_);
    const QString device = ComDeviceName(d_.ComPort, folder);
    return {QStringLiteral("%1 %2.%3.%4 adapter log")
                .arg(QLatin1String(version::kProductName))
                .arg(version::kMajor)
                .arg(version::kMinor)
                .arg(version::kRevision),
            QStringLiteral("Saved: %1").arg(QDateTime::currentDateTime().toString(Qt::ISODate)),
            QStringLiteral("Port: COM%1 (%2)")
                .arg(d_.ComPort)
                .arg(device.isEmpty() ? QStringLiteral("no device") : device),
            QStringLiteral("Speed: %1 bit/s").arg(d_.ComSpeed),
            QStringLiteral("Adapter: %1")
                .arg(adapterName_.isEmpty() ? QStringLiteral("not identified") : adapterName_)};
}

void Form1::mnu_Log_Click() {
    if (bringToFront(log_)) return;
    // The log window may outlive this one; the header then says less.
    QPointer<Form1> self(this);
    auto* window = new frmLog(host_, [self] {
        return self ? self->logHeader() : QStringList{QStringLiteral("Tavrin adapter log")};
    });
    log_ = window;
    window->show();
}

void Form1::mnu_About_Click() {
    if (bringToFront(about_)) return;
    auto* box = new frmAbout();
    about_ = box;
    box->show();
}

// ---------------------------------------------------------------- Start-up

Form1* Main(Defines& defines, Host& host) {
    auto* form = new Form1(defines, host);
    form->setWindowTitle(MainCaption());
    defines.IniFilePath = StartupIniFilePath(host);
    QString error;
    const bool saved = ReadIniFile(
        defines, [form](const QString& text) { form->setPanelText(3, text); }, &error);
    form->setPanelText(3, StatusText(defines));
    form->setPanelText(4, QStringLiteral("Not Connected"));
    defines.ConnectState = 0;
    form->show();
    if (!saved) {
        host.showMessage(form, Message{QStringLiteral("The settings cannot be saved."),
                                       QStringLiteral("Error!"), MessageIcon::Warning, error});
    }
    return form;
}

}  // namespace tavrin
