#include "app/Form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "about/frmAbout.h"
#include "app/frmLog.h"
#include "cluster/Operations.h"
#include "config/Setup_Form.h"
#include "core/Defines.h"
#include "runtime/Host.h"
#include "runtime/MessagesRead.h"

namespace tavrin {

namespace {

using State = Operations::State;

// One window of each kind: an open one is only brought to the front.
bool bringToFront(QWidget* window) {
    if (!window || !window->isVisible()) return false;
    window->raise();
    window->activateWindow();
    return true;
}

}  // namespace

Form1::Form1(Defines& defines, Host& host, QWidget* parent)
    : QMainWindow(parent), d_(defines), host_(host) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    buildWidgets();
    ops_ = new Operations(d_, host_, this);
    MSComm1 = &ops_->session().port();
    Timer1 = &ops_->session().watchdog();
    wire();
    // Load: the toggle waits for an identified cluster, and no setting read
    // earlier stands for the car connected now.
    showState();
}

Form1::~Form1() {
    // What still runs is let go while this window can hear of it, and says nothing more.
    ops_->session().disconnect(this);
    ops_->disconnect(this);
    delete ops_;
    for (QWidget* window : {setup_.data(), about_.data(), log_.data()}) {
        if (window) window->deleteLater();
    }
}

void Form1::wire() {
    ClusterSession* session = &ops_->session();
    // The second click of a double-click: the first one's operation stands.
    connect(Connect_Command, &QPushButton::clicked, this, [this] {
        if (!ops_->actedWithinMs(QApplication::doubleClickInterval())) Connect_Command_Click();
    });
    connect(Command1, &QPushButton::clicked, this, [this] {
        if (!ops_->actedWithinMs(QApplication::doubleClickInterval())) Command1_Click();
    });
    connect(mnu_Setup, &QAction::triggered, this, &Form1::mnu_Setup_Click);
    connect(mnu_About, &QAction::triggered, this, &Form1::mnu_About_Click);
    connect(mnu_Log, &QAction::triggered, this, &Form1::mnu_Log_Click);

    connect(session, &ClusterSession::connecting, this,
            [this] { setPanelText(4, QStringLiteral("Connecting...")); });
    connect(session, &ClusterSession::connectStep, this, &Form1::showConnectStep);
    connect(session, &ClusterSession::connected, this,
            [this] { setPanelText(4, QStringLiteral("Connected")); });
    connect(session, &ClusterSession::policeModeShown, PM_label, &QLabel::setText);
    // A change went out and what the cluster holds now is not known.
    connect(session, &ClusterSession::policeModeUnknown, PM_label, &QLabel::clear);
    // Shown without waiting for it: Connect goes on, or has ended.
    connect(session, &ClusterSession::watchdogExpired, this,
            [this](const Message& m) { host_.showMessage(this, m); });
    connect(session, &ClusterSession::connectionClosed, this, &Form1::showNotConnected);

    connect(ops_, &Operations::stateChanged, this, &Form1::showState);
    connect(ops_, &Operations::connectEnded, this, [this](const SessionReport& r) {
        if (!r.connected) setPanelText(2, QString());  // "Opening ..." of a port that never opened
        showMessages(r.messages);
    });
    connect(ops_, &Operations::changeEnded, this,
            [this](const PoliceReport& r) { showMessages(r.messages); });
    connect(ops_, &Operations::portLost, this,
            [this](const Message& m) { host_.showMessage(this, m); });
}

ClusterSession& Form1::session() {
    return ops_->session();
}

QString Form1::panelText(int panel) const {
    return panel >= 1 && panel <= 4 ? panels_[panel - 1]->text() : QString();
}

void Form1::setPanelText(int panel, const QString& text) {
    if (panel < 1 || panel > 4) return;
    QLabel* label = panels_[panel - 1];
    // Panel 3 names the line of the settings in use: a Wi-Fi adapter's
    // address, or a COM port and speed.
    const bool wifi = panel == 3 && !d_.Network.isEmpty();
    QString shown = text;
    if (wifi) {
        // A long host name would widen the window beyond its size: its
        // middle gives way, and the tooltip keeps the whole address.
        const int most =
            label->fontMetrics().horizontalAdvance(QStringLiteral("Wi-Fi 255.255.255.255:35000"));
        shown = label->fontMetrics().elidedText(text, Qt::ElideMiddle, most);
    }
    label->setText(shown);
    // The panels are narrow; the whole text is there on hover.
    label->setToolTip(text);
    // The part number and the port show whole, as wide as they are; the
    // adapter's name takes the rest.
    const QString widest = panel == 3 && !wifi ? QStringLiteral("COM 16 / 115200") : shown;
    if (panel == 1 || panel == 3)
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(widest) + 10);
    // The line speed, kept for a serial adapter, does not apply to it.
    if (wifi)
        label->setToolTip(text +
                          QStringLiteral(" (the line speed, %1, does not apply)").arg(d_.ComSpeed));
}

bool Form1::busy() const {
    return ops_->running();
}

void Form1::showState() {
    const State state = ops_->state();
    // While the adapter is being talked to, nothing may start a second
    // exchange or close the port under it; the one way out is Cancel, and
    // only while the change has not sent its write.
    switch (state) {
        case State::Connected:
            Connect_Command->setText(QStringLiteral("&Disconnect"));
            break;
        case State::Connecting:
        case State::Changing:
        case State::Writing:
        case State::Finishing:
            Connect_Command->setText(QStringLiteral("&Cancel"));
            break;
        case State::Idle:
        case State::Searching:
            Connect_Command->setText(QStringLiteral("&Connect"));
            break;
    }
    Connect_Command->setEnabled(state != State::Writing && state != State::Finishing);
    Command1->setEnabled(ops_->check(Operations::Action::Toggle).allowed);
    mnu_Setup->setEnabled(ops_->check(Operations::Action::Setup).allowed);
    connectProgress_->setVisible(state == State::Connecting);
    // The window was closed after a change went out: its outcome comes first.
    if (state == State::Finishing) setPanelText(4, QStringLiteral("Finishing..."));
    // Greyed while no connection is open: a setting read earlier is not the
    // current one, perhaps not even this car's.
    PM_label->setEnabled(state == State::Connected || state == State::Changing ||
                         state == State::Writing || state == State::Finishing);
}

void Form1::showNotConnected() {
    // Whoever closed the port, the window must not claim a connection it no
    // longer has, nor show a cluster it no longer talks to.
    setPanelText(1, QString());
    setPanelText(2, QString());
    ClusterInfotext->setText(QString());
    setPanelText(4, QStringLiteral("Not Connected"));
    showState();
}

void Form1::showConnectStep(int done, const SessionReport& report) {
    connectProgress_->setValue(done);
    // Who has answered, as soon as known (the name stays for the log's header);
    // until then the port being opened, which a Bluetooth one may take seconds to.
    if (!report.adapter.isEmpty()) adapterName_ = report.adapter;
    setPanelText(2, !report.adapter.isEmpty()
                        ? report.adapter
                        : QStringLiteral("Opening %1\u2026").arg(report.port));
    if (!report.partNumber.isEmpty()) {
        setPanelText(1, report.partNumber);
        ClusterInfotext->setText(report.model);
    }
}

void Form1::showMessages(const QList<Message>& messages) {
    for (const Message& m : messages) host_.showMessage(this, m);
}

void Form1::Connect_Command_Click() {
    switch (ops_->state()) {
        case State::Idle:
            connectProgress_->setValue(0);
            ops_->connectAdapter();
            break;
        case State::Connected:
            ops_->disconnectAdapter();
            break;
        case State::Searching: {
            const Operations::Verdict why = ops_->check(Operations::Action::Connect);
            host_.showMessage(this, Message{why.text, QStringLiteral("Connect"),
                                            MessageIcon::Information, why.detail});
            break;
        }
        default:
            ops_->cancel();  // refused once a change's write is out
            break;
    }
}

void Form1::Command1_Click() {
    // The owner refuses it unless connected with nothing running.
    ops_->changePoliceMode(std::nullopt);
}

void Form1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        const State state = ops_->state();
        if (state == State::Connecting || state == State::Changing) ops_->cancel();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void Form1::quit() {
    // The other windows take no part in an operation of this one's.
    for (QWidget* window : {setup_.data(), about_.data(), log_.data()}) {
        if (window) window->close();
    }
    close();
}

void Form1::closeEvent(QCloseEvent* event) {
    if (closing_ == Closing::Done ||
        (!ops_->running() && closing_ == Closing::No && Host::unansweredMessages(this).isEmpty())) {
        closing_ = Closing::Done;
        // Connected: the port is let go at once.
        ops_->shutdown();
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    if (closing_ == Closing::No) closeWhenDone();
}

QCoro::Task<void> Form1::closeWhenDone() {
    closing_ = Closing::Waiting;
    QPointer<Form1> self(this);
    // What may be cancelled is; a change whose write is out is read back
    // and recorded, and its outcome shown, first. The last word is read
    // before the window goes.
    co_await ops_->shutdown();
    if (self) co_await UntilMessagesRead(host_.clock(), self.data());
    if (!self) co_return;
    closing_ = Closing::Done;
    close();
}

void Form1::mnu_Setup_Click() {
    // One dialog at a time; choosing Setup again keeps the user's selection.
    if (bringToFront(setup_)) return;
    if (!ops_->check(Operations::Action::Setup).allowed) return;
    QPointer<Form1> self(this);
    auto* dialog = new Setup_Form(d_, host_, ops_, [self](const QString& text) {
        if (self) self->setPanelText(3, text);
    });
    setup_ = dialog;
    dialog->show();
}

void Form1::mnu_Log_Click() {
    if (bringToFront(log_)) return;
    // The log window may outlive this one; the header then says less.
    QPointer<Form1> self(this);
    auto* window = new frmLog(
        host_,
        [self] {
            return self ? AdapterLogHeader(self->d_, self->host_, self->adapterName_)
                        : QStringList{QStringLiteral("Tavrin adapter log")};
        },
        [self] { return self ? self->session().historyPath() : QString(); });
    log_ = window;
    window->show();
}

void Form1::mnu_About_Click() {
    if (bringToFront(about_)) return;
    auto* box = new frmAbout();
    about_ = box;
    box->show();
}

}  // namespace tavrin
