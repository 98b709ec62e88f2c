#include "app/Form1.h"

#include <QAction>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include "Version.h"
#include "about/frmAbout.h"
#include "app/Defines.h"
#include "cluster/ClusterParsing.h"
#include "cluster/PoliceSafety.h"
#include "config/INI_Handler.h"
#include "config/Setup_Form.h"
#include "platform/Host.h"
#include "platform/MSComm.h"
#include "platform/WrapButton.h"
#include "serial/Exchange.h"
#include "serial/SerialPort.h"

namespace tavrin {

namespace {

const QString kConnect = QStringLiteral("Connect");
const QString kDisconnect = QStringLiteral("Disconnect");
const QString kNotConnected = QStringLiteral("Not Connected");
const QString kConnecting = QStringLiteral("Connecting...");
const QString kConnected = QStringLiteral("Connected");

// Adapter set-up after the reset: command and what it does, for messages.
struct SetupCommand {
    const char* command;
};
constexpr SetupCommand kSetupCommands[] = {{"atcaf1"}, {"atspa6"}, {"atsh720"}, {"ath1"}};

struct Request {
    const char* text;
    const char* prefix;
};
constexpr Request kIdentification[] = {{"22e21a", "62 E2 1A "},
                                       {"22e217", "62 E2 17 "},
                                       {"22e219", "62 E2 19 "},
                                       {"22e200", "62 E2 00 "}};

// The identification line of a reset answer that lacks "ELM": the last line
// the adapter printed after the echo, without carriage returns or prompt.
QString identificationWithoutElm(const QString& buffer) {
    QString text = buffer;
    text.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    const QStringList lines = text.split(QLatin1Char('\r'));
    QString found;
    bool afterEcho = false;
    for (QString line : lines) {
        const int prompt = line.lastIndexOf(QLatin1Char('>'));
        if (prompt >= 0) line = line.mid(prompt + 1);
        line = line.trimmed();
        if (line.isEmpty()) continue;
        if (line.compare(QLatin1String("atz"), Qt::CaseInsensitive) == 0) {
            afterEcho = true;
            found.clear();
            continue;
        }
        if (afterEcho || found.isEmpty()) found = line;
    }
    return found;
}

}  // namespace

struct Form1::Failure {
    QString command;
    WaitResult result;
};

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

    Command1 = new WrapButton(QStringLiteral("Toggle Police Mode"), client);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(Tw(4080), Tw(120), Tw(1215), Tw(495));

    ClusterInfo = new QGroupBox(QStringLiteral("Cluster Information"), client);
    ClusterInfo->setObjectName(QStringLiteral("ClusterInfo"));
    ClusterInfo->setGeometry(Tw(120), Tw(720), Tw(4335), Tw(615));
    ClusterInfotext = new QLabel(ClusterInfo);
    ClusterInfotext->setObjectName(QStringLiteral("ClusterInfotext"));
    ClusterInfotext->setGeometry(Tw(120), Tw(240), Tw(2415), Tw(255));
    ClusterInfotext->setTextFormat(Qt::PlainText);

    Frame1 = new QGroupBox(QStringLiteral("Police Mode"), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(Tw(4560), Tw(720), Tw(1575), Tw(615));
    PM_label = new QLabel(Frame1);
    PM_label->setObjectName(QStringLiteral("PM_label"));
    PM_label->setGeometry(Tw(120), Tw(240), Tw(1335), Tw(255));
    PM_label->setTextFormat(Qt::PlainText);

    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(Tw(375));
    // Panels 3 and 4 are as wide as their longest texts; 1 and 2 share the rest.
    const QFontMetrics metrics(bar->font());
    const int fixedWidth[4] = {0, 0,
                               metrics.horizontalAdvance(QStringLiteral("COM 16 / 115200")) + 10,
                               metrics.horizontalAdvance(kNotConnected) + 10};
    for (int i = 0; i < 4; ++i) {
        panels_[i] = new QLabel(bar);
        panels_[i]->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        panels_[i]->setTextFormat(Qt::PlainText);
        panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panels_[i]->setMinimumWidth(fixedWidth[i] > 0 ? fixedWidth[i] : 10);
        bar->addWidget(panels_[i], fixedWidth[i] > 0 ? 0 : 1);
    }
    setStatusBar(bar);

    mnu_Setup = menuBar()->addAction(QStringLiteral("Setup"));
    mnu_Setup->setObjectName(QStringLiteral("mnu_Setup"));
    mnu_About = menuBar()->addAction(QStringLiteral("About"));
    mnu_About->setObjectName(QStringLiteral("mnu_About"));

    MSComm1 = new MSComm(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    exchange_ = new Exchange(*MSComm1, host_, this);

    // Never fires until a connection attempt arms it.
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);

    connect(Connect_Command, &QPushButton::clicked, this, &Form1::Connect_Command_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(mnu_Setup, &QAction::triggered, this, &Form1::mnu_Setup_Click);
    connect(mnu_About, &QAction::triggered, this, &Form1::mnu_About_Click);
    connect(MSComm1, &MSComm::closed, this, &Form1::onPortClosed);
    connect(MSComm1, &MSComm::portLost, this, &Form1::onPortLost);

    // Load: the toggle waits for an identified cluster.
    Command1->setEnabled(false);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

Form1::~Form1() {
    if (setup_) setup_->deleteLater();
    if (about_) about_->deleteLater();
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

QString Form1::settingsFolder() const {
    return d_.IniFilePath.isEmpty() ? host_.programFolder()
                                    : QFileInfo(d_.IniFilePath).absolutePath();
}

bool Form1::busy() const {
    return busy_ || exchange_->busy();
}

QWidget* Form1::setupDialog() const {
    return setup_;
}
QWidget* Form1::aboutBox() const {
    return about_;
}

void Form1::setBusy(bool busy) {
    busy_ = busy;
    refreshControls();
}

void Form1::refreshControls() {
    // While the adapter is being talked to, nothing may start a second
    // exchange or close the port under it.
    Connect_Command->setEnabled(!busy_);
    mnu_Setup->setEnabled(!busy_);
    Command1->setEnabled(!busy_ && command1Wanted_);
}

void Form1::showError(const QString& text, const QString& detail) {
    host_.showMessage(this, Message{text, QStringLiteral("Error!"), MessageIcon::Critical, detail});
}

// ---------------------------------------------------------------- Connect

void Form1::Connect_Command_Click() {
    if (busy()) return;
    if (Connect_Command->text() == kConnect) {
        Exchange::Session session(*exchange_);
        setBusy(true);
        // Only a completed attempt leaves an open port and an answering
        // adapter to read from.
        if (ConnectELM()) {
            host_.sleepMs(500);
            ReadPoliceMode();
        }
        setBusy(false);
    } else {
        Disconnect();
    }
}

void Form1::Disconnect() {
    Connect_Command->setText(kConnect);
    setPanelText(1, QString());
    setPanelText(2, QString());
    ClusterInfotext->setText(QString());
    // Release the port too, so the next Connect can open it again.
    MSComm1->setPortOpen(false);
    showNotConnected();
}

void Form1::showNotConnected() {
    // Whoever closed the port (Disconnect, Setup, a failed attempt, an
    // unplugged cable), the window must not claim a connection it no longer
    // has, and the toggle must not write through it.
    Timer1->stop();
    Connect_Command->setText(kConnect);
    setPanelText(4, kNotConnected);
    command1Wanted_ = false;
    d_.ClusterReady = false;
    refreshControls();
}

void Form1::portCheckFailed(const QString& detail) {
    host_.showMessage(this,
                      Message{QStringLiteral("ERROR! Comm Port is either in use or not found!"),
                              QStringLiteral("ERROR!"), MessageIcon::Critical, detail});
}

bool Form1::ConnectELM() {
    d_.ConnectState = 0;
    const QString folder = settingsFolder();
    const ProbeResult probe = ProbeComPort(d_.ComPort, folder, MSComm1);
    if (probe != ProbeResult::Available) {
        portCheckFailed(ProbeDetail(probe, d_.ComPort, folder));
        return false;
    }
    const OpenResult opened = OpenComPort(d_, folder, *MSComm1);
    if (opened == OpenResult::InvalidSpeed) {
        host_.showMessage(
            this, Message{QStringLiteral("The line speed \"%1\" cannot be used.").arg(d_.ComSpeed),
                          QStringLiteral("ERROR!"), MessageIcon::Critical,
                          QStringLiteral("Choose one of the speeds %1 in Setup, then click "
                                         "Connect again.")
                              .arg(OfferedSpeedsText())});
        return false;
    }
    if (opened != OpenResult::Opened) {
        portCheckFailed(MSComm1->lastErrorText());
        return false;
    }

    exchange_->SendCommand(QStringLiteral("atz"));
    Timer1->setInterval(host_.watchdogMs);
    Timer1->start();
    setPanelText(4, kConnecting);

    const WaitResult reset =
        exchange_->WaitFor(QStringLiteral(">"), [this] { return d_.ConnectState == 3; });
    if (reset.status == WaitStatus::Abandoned) {
        // The watchdog has told the user; free the port so Connect works again.
        MSComm1->setPortOpen(false);
        showNotConnected();
        return false;
    }
    if (!reset.ok()) {
        endAttempt(QStringLiteral("atz"), reset);
        return false;
    }

    const QString& buffer = reset.buffer;
    const int p = buffer.indexOf(QLatin1String("ELM"));
    if (p >= 0) {
        setPanelText(2, buffer.mid(p, qMax(0, int(buffer.size()) - p - 3)));
    } else {
        setPanelText(2, identificationWithoutElm(buffer));
    }

    for (const SetupCommand& c : kSetupCommands) {
        const QString command = QLatin1String(c.command);
        const WaitResult r = exchange_->Ask(command, QStringLiteral("OK\r"));
        if (!r.ok()) {
            endAttempt(command, r);
            return false;
        }
    }

    host_.sleepMs(1000);

    Failure failure;
    if (!GetClusterInfo(&failure)) {
        endAttempt(failure.command, failure.result);
        return false;
    }

    d_.ClusterReady = true;
    setPanelText(4, kConnected);
    d_.ConnectState = 1;
    Timer1->stop();
    return true;
}

void Form1::endAttempt(const QString& command, const WaitResult& result) {
    QString detail;
    if (result.status == WaitStatus::AdapterError && result.adapterText == QLatin1String("?")) {
        detail = QStringLiteral(
            "The adapter does not know this command. Some low-cost adapter "
            "clones lack commands; a genuine ELM327-type adapter is needed.");
    } else if (result.status == WaitStatus::TimedOut || result.status == WaitStatus::PortClosed) {
        detail = QStringLiteral(
            "Check the adapter's cable and that the ignition is on, then "
            "click Connect to try again.");
    } else {
        detail = QStringLiteral(
            "Check that the ignition is on and that the car is a supported "
            "model, then click Connect to try again.");
    }
    MSComm1->setPortOpen(false);
    showNotConnected();
    showError(QStringLiteral("Connection failed at \"%1\": %2.").arg(command, result.describe()),
              detail);
}

void Form1::Timer1_Timer() {
    host_.showMessage(this, Message{QStringLiteral("Unable to Connect To ELM"),
                                    QStringLiteral("Error!"),
                                    MessageIcon::Critical,
                                    {}});
    d_.ConnectState = 3;
    Timer1->stop();
    // Let a waiting reset notice at once.
    exchange_->wake();
}

// ---------------------------------------------------------- Identification

bool Form1::prefixedExchange(const QString& request, const QString& prefix, QString* phase1,
                             QString* remainder, Failure* failure) {
    // The answer prefix, then the rest of its line in a fresh buffer.
    failure->command = request;
    WaitResult r = exchange_->Ask(request, prefix);
    if (r.ok()) {
        *phase1 = r.buffer;
        r = exchange_->WaitFor(QStringLiteral("\r"));
    }
    if (!r.ok()) {
        failure->result = r;
        return false;
    }
    *remainder = r.buffer;
    return true;
}

bool Form1::GetClusterInfo(Failure* failure) {
    for (int i = 0; i < 4; ++i) {
        QString phase1;
        QString remainder;
        if (!prefixedExchange(QLatin1String(kIdentification[i].text),
                              QLatin1String(kIdentification[i].prefix), &phase1, &remainder,
                              failure)) {
            return false;
        }
        switch (i) {
            case 0:
                d_.PartPrefix = cluster::PartPrefixFromRemainder(remainder);
                break;
            case 1:
                d_.PartBase = cluster::PartBaseFromRemainder(remainder);
                break;
            case 2:
                cluster::GetClusterModel(d_, remainder);
                ClusterInfotext->setText(d_.ModelName);
                break;
            default:
                break;  // E200 is only awaited
        }
        if (i < 3) host_.sleepMs(500);
    }
    setPanelText(1, cluster::DisplayPartNumber(d_));
    command1Wanted_ = true;
    refreshControls();
    Connect_Command->setText(kDisconnect);
    return true;
}

// ------------------------------------------------------------- Police mode

bool Form1::PoliceModeRead(Failure* failure) {
    d_.PM_ReadValid = false;
    QString phase1;
    QString phase2;
    if (!prefixedExchange(QStringLiteral("2103"), QStringLiteral("61 03 "), &phase1, &phase2,
                          failure)) {
        return false;
    }
    cluster::ApplyPoliceRead(d_, phase1, phase2);
    return true;
}

bool Form1::ReadPoliceMode() {
    Failure failure;
    if (!PoliceModeRead(&failure)) {
        showError(QStringLiteral("The police mode setting could not be read: %1.")
                      .arg(failure.result.describe()),
                  QStringLiteral("The setting shown may be out of date."));
        return false;
    }
    if (!d_.PM_ReadValid) {
        showError(QStringLiteral("The police mode setting could not be read: the cluster's "
                                 "answer was incomplete or garbled."),
                  QStringLiteral("The setting shown may be out of date."));
        return false;
    }
    const QString label = cluster::PoliceModeLabel(d_);
    if (!label.isEmpty()) PM_label->setText(label);
    return true;
}

Form1::WriteOutcome Form1::WritePoliceMode(const QString& readRecord, Failure* failure) {
    const QString request = cluster::BuildPoliceWriteRequest(d_);
    if (!d_.ClusterReady) return WriteOutcome::Skipped;
    // Last line of defence: the request must be the record just read with the
    // police-mode bit inverted and nothing else changed.
    if (request != cluster::ExpectedPoliceWrite(readRecord)) return WriteOutcome::NotSafe;
    failure->command = request;
    WaitResult r = exchange_->Ask(request, QStringLiteral("7B 03"));
    if (r.ok()) r = exchange_->WaitFor(QStringLiteral("\r"), r.buffer, {});
    if (!r.ok()) {
        failure->result = r;
        return WriteOutcome::Refused;
    }
    return WriteOutcome::Acknowledged;
}

void Form1::Command1_Click() {
    if (busy() || !Command1->isEnabled()) return;
    Exchange::Session session(*exchange_);
    command1Wanted_ = false;
    setBusy(true);
    auto finish = [this] {
        command1Wanted_ = d_.ClusterReady && MSComm1->PortOpen();
        setBusy(false);
    };

    Failure failure;
    if (!PoliceModeRead(&failure)) {
        finish();
        showError(QStringLiteral("The police mode record could not be read, so nothing was "
                                 "written: %1.")
                      .arg(failure.result.describe()));
        return;
    }
    if (!d_.PM_ReadValid) {
        finish();
        showError(QStringLiteral("The police mode record could not be read completely, so "
                                 "nothing was written to the cluster."),
                  QStringLiteral("The cluster's answer was incomplete or garbled. Try again."));
        return;
    }
    const QString readRecord = cluster::RecordText(d_);
    const QString before = cluster::PoliceModeLabel(d_);

    cluster::InvertPoliceBit(d_);
    host_.sleepMs(500);
    const WriteOutcome outcome = WritePoliceMode(readRecord, &failure);
    host_.sleepMs(500);
    // A lost port has been reported already; reading it again would only repeat that.
    const bool reread = MSComm1->PortOpen() && ReadPoliceMode();
    finish();

    switch (outcome) {
        case WriteOutcome::Acknowledged:
            if (reread && cluster::PoliceModeLabel(d_) == before) {
                showError(QStringLiteral("The cluster acknowledged the change but did not apply "
                                         "it: police mode is still %1.")
                              .arg(before));
            }
            break;
        case WriteOutcome::Refused:
            showError(QStringLiteral("The cluster refused the change: %1.")
                          .arg(failure.result.describe()),
                      QStringLiteral("The setting shown is the one the cluster reports now."));
            break;
        case WriteOutcome::NotSafe:
            showError(
                QStringLiteral("The change was not written: the record to write did not "
                               "match the record read."));
            break;
        case WriteOutcome::Skipped:
            break;
    }
}

// ------------------------------------------------------------ Port events

void Form1::onPortClosed() {
    showNotConnected();
}

void Form1::onPortLost(const QString& reason) {
    // A wait in progress reports the loss itself.
    if (exchange_->busy()) return;
    showError(QStringLiteral("The connection to the adapter was lost."),
              reason.isEmpty() ? QString() : reason);
}

// ------------------------------------------------------------------ Menus

void Form1::mnu_Setup_Click() {
    // One dialog at a time; choosing Setup again keeps the user's selection.
    if (setup_ && setup_->isVisible()) {
        setup_->raise();
        setup_->activateWindow();
        return;
    }
    auto* dialog = new Setup_Form(*this);
    setup_ = dialog;
    dialog->show();
}

void Form1::mnu_About_Click() {
    if (about_ && about_->isVisible()) {
        about_->raise();
        about_->activateWindow();
        return;
    }
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
