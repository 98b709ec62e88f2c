#include "config/Setup_Form.h"
#include "config/ListSearch.h"

#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <utility>

#include "cluster/Operations.h"
#include "cluster/SessionWords.h"
#include "core/Defines.h"
#include "runtime/AdapterLine.h"
#include "runtime/Host.h"
#include "serial/LineSpeeds.h"
#include "serial/PortCheck.h"
#include "widgets/FitButton.h"
#include "widgets/FitGroupBox.h"
#include "widgets/Twips.h"

namespace tavrin {

namespace {

constexpr qint16 kFirstPort = 1;
constexpr qint16 kLastPort = 16;
const QString kFind = QStringLiteral("&Find Adapter");
const QString kStop = QStringLiteral("S&top");

// The search's part of the dialog, under the lists and buttons, which keep
// their places.
constexpr int kDialogWidth = Tw(3570);
constexpr int kRuleTop = Tw(1935);
constexpr int kWifiRowHeight = Tw(480);
constexpr int kStatusWidth = Tw(3330);
constexpr int kMargin = Tw(120);

// What the Wi-Fi fields stand for while nothing is saved yet.
const NetworkAddress kDefaultAddress{QLatin1String(kDefaultNetworkHost), kDefaultNetworkPort};

QString selectedText(const QListWidget* list) {
    const QList<QListWidgetItem*> items = list->selectedItems();
    return items.isEmpty() ? QString() : items.first()->text();
}

// Selects the row FindListItem gives; -1 leaves nothing selected.
void selectRow(QListWidget* list, int row) {
    if (row < 0) {
        list->clearSelection();
        list->setCurrentRow(-1);
    } else {
        list->setCurrentRow(row);
    }
}

}  // namespace

const QString Setup_Form::kWifiItem = QStringLiteral("Wi-Fi adapter");

Setup_Form::Setup_Form(Defines& defines, Host& host, Operations* operations, PanelSetter setPanel3)
    : QDialog(nullptr),
      d_(defines),
      host_(host),
      ops_(operations),
      setPanel3_(std::move(setPanel3)) {
    setObjectName(QStringLiteral("Setup_Form"));
    setWindowTitle(QStringLiteral("Setup"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    // Outlives the main window if the user closes that first, and goes away
    // as soon as it is closed: the next opening must probe the ports afresh.
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    Frame1 = new FitGroupBox(QStringLiteral("Comm Ports"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(Tw(120), Tw(120), Tw(1575), Tw(1215));
    CommPort_List = new QListWidget(Frame1);
    CommPort_List->setObjectName(QStringLiteral("CommPort_List"));
    CommPort_List->setGeometry(Tw(120), Tw(240), Tw(1335), Tw(840));
    CommPort_List->setSelectionMode(QAbstractItemView::SingleSelection);
    CommPort_List->setSortingEnabled(false);

    SaveConfig = new FitButton(QStringLiteral("&Save"), this);
    SaveConfig->setObjectName(QStringLiteral("SaveConfig"));
    SaveConfig->setGeometry(Tw(960), Tw(1440), Tw(735), Tw(375));

    SetupCancel = new FitButton(QStringLiteral("Cancel"), this);
    SetupCancel->setObjectName(QStringLiteral("SetupCancel"));
    SetupCancel->setGeometry(Tw(1800), Tw(1440), Tw(735), Tw(375));

    Frame2 = new FitGroupBox(QStringLiteral("Comm Speed"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(Tw(1800), Tw(120), Tw(1695), Tw(1215));
    Speed_List = new QListWidget(Frame2);
    Speed_List->setObjectName(QStringLiteral("Speed_List"));
    Speed_List->setGeometry(Tw(120), Tw(240), Tw(1455), Tw(840));
    Speed_List->setSelectionMode(QAbstractItemView::SingleSelection);
    Speed_List->setSortingEnabled(false);

    // The Wi-Fi adapter's address, under the buttons, while it is chosen.
    wifiRow_ = new QWidget(this);
    wifiRow_->setGeometry(kMargin, kRuleTop, kStatusWidth, Tw(375));
    auto* row = new QHBoxLayout(wifiRow_);
    row->setContentsMargins(0, 0, 0, 0);
    auto* addressLabel = new QLabel(QStringLiteral("&Address:"), wifiRow_);
    NetAddress = new QLineEdit(wifiRow_);
    NetAddress->setObjectName(QStringLiteral("NetAddress"));
    addressLabel->setBuddy(NetAddress);
    auto* portLabel = new QLabel(QStringLiteral("P&ort:"), wifiRow_);
    NetPort = new QLineEdit(wifiRow_);
    NetPort->setObjectName(QStringLiteral("NetPort"));
    NetPort->setValidator(new QIntValidator(1, 65535, NetPort));
    NetPort->setFixedWidth(NetPort->fontMetrics().horizontalAdvance(QStringLiteral("655350")) +
                           Tw(120));
    portLabel->setBuddy(NetPort);
    row->addWidget(addressLabel);
    row->addWidget(NetAddress, 1);
    row->addWidget(portLabel);
    row->addWidget(NetPort);
    wifiRow_->setToolTip(
        QStringLiteral(
            "Most Wi-Fi adapters are at %1 port %2, some at port 23. The line speed does not "
            "apply to them.")
            .arg(QLatin1String(kDefaultNetworkHost))
            .arg(kDefaultNetworkPort));

    rule_ = new QFrame(this);
    rule_->setFrameShape(QFrame::HLine);
    rule_->setFrameShadow(QFrame::Sunken);

    FindAdapter = new FitButton(kFind, this);
    FindAdapter->setObjectName(QStringLiteral("FindAdapter"));

    FindStatus = new QLabel(this);
    FindStatus->setObjectName(QStringLiteral("FindStatus"));
    FindStatus->setWordWrap(true);
    FindStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    FindStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QStringList speeds;
    for (int speed : kSearchSpeeds) speeds << QString::number(speed);
    hint_ = QStringLiteral(
                "Find Adapter tries every port the system lists at %1 and %2 bit/s "
                "and selects the adapter it finds; with Wi-Fi adapter chosen, it "
                "checks that one address. Nothing is saved until you press Save.")
                .arg(speeds.mid(0, speeds.size() - 1).join(QStringLiteral(", ")), speeds.last());
    FindStatus->setText(hint_);
    // The hint's height is the least the dialog keeps, so the one-line
    // progress does not make it jump.
    statusMinHeight_ = FindStatus->heightForWidth(kStatusWidth);
    showStatus(FindStatus->text());

    // The port list, Save, Cancel, then the speed list, and the search last.
    setTabOrder(CommPort_List, SaveConfig);
    setTabOrder(SaveConfig, SetupCancel);
    setTabOrder(SetupCancel, Speed_List);
    setTabOrder(Speed_List, NetAddress);
    setTabOrder(NetAddress, NetPort);
    setTabOrder(NetPort, FindAdapter);

    connect(SaveConfig, &QPushButton::clicked, this, &Setup_Form::SaveConfig_Click);
    connect(SetupCancel, &QPushButton::clicked, this, &Setup_Form::SetupCancel_Click);
    connect(FindAdapter, &QPushButton::clicked, this, &Setup_Form::FindAdapter_Click);
    connect(CommPort_List, &QListWidget::currentRowChanged, this, &Setup_Form::layOut);

    Form_Load();
    layOut();
    showProbes();
}

void Setup_Form::Form_Load() {
    // A port this program holds would fail its own probe: the owner lets go
    // of it (Setup is only offered while nothing runs).
    if (ops_) ops_->releasePort();

    folder_ = SettingsFolder(d_, host_);
    // One look at the system's port list serves every tooltip.
    known_ = host_.devices().knownPorts();
    // Always offered: a Wi-Fi adapter is not a device that can be probed.
    auto* wifi = new QListWidgetItem(kWifiItem, CommPort_List);
    wifi->setToolTip(QStringLiteral("An adapter on its own Wi-Fi network, reached over TCP"));
    const std::optional<NetworkAddress> saved = ParseNetworkAddress(d_.Network);
    const NetworkAddress shown = saved.value_or(kDefaultAddress);
    NetAddress->setText(shown.host);
    NetPort->setText(QString::number(shown.port));

    Speed_List->addItems(OfferedSpeeds());
    selectRow(Speed_List, FindListItem(d_.ComSpeed, Speed_List));

    // COM1 to COM16, and a saved port above them (Find Adapter may have
    // found it there). Each is probed off the window's thread, all at once,
    // and listed as its probe answers: a Bluetooth port that dials an absent
    // adapter holds up none of the others, nor the dialog.
    QList<qint16> ports;
    for (qint16 n = kFirstPort; n <= kLastPort; ++n) ports << n;
    if (d_.ComPort > kLastPort) ports << d_.ComPort;
    for (qint16 n : ports) {
        // What the system does not list is not there: no probe to find out.
        if (!host_.devices().listed(ComDevicePath(n, folder_))) continue;
        ++probesLeft_;
        checkPort(n);
    }
    selectSaved();
    // The selection, not the current row: focus alone moves that.
    connect(CommPort_List, &QListWidget::itemSelectionChanged, this, [this] {
        if (!selecting_) userChose_ = true;
    });

    if (!ops_) return;
    connect(ops_, &Operations::searchTrying, this, [this](qint16 n, int speed) {
        searchSaid_ = true;
        showStatus(QStringLiteral("COM%1 at %2\u2026").arg(n).arg(speed));
    });
    connect(ops_, &Operations::searchEnded, this, [this](const FinderReport& report) {
        showStatus(words::DescribeSearch(report));
        selectFound(report);
    });
    connect(ops_, &Operations::stateChanged, this, &Setup_Form::showSearching);
}

Setup_Form::~Setup_Form() {
    // Probes still waiting end here; none of them touches the dialog again.
    gone_ = true;
    probing_.abort();
}

QCoro::Task<void> Setup_Form::checkPort(qint16 n) {
    const QPointer<Setup_Form> self(this);
    AdapterLine* own = ops_ ? &ops_->session().port() : nullptr;
    const ProbeResult probe = co_await ProbeComPort(n, folder_, own, host_, probing_.token());
    if (!self || self->gone_) co_return;
    --probesLeft_;
    if (probe == ProbeResult::Available) {
        listPort(n);
    } else if (probe == ProbeResult::NoAnswer) {
        noAnswer_ << n;
    }
    showProbes();
}

void Setup_Form::showProbes() {
    // What a search says matters more, once it has said something.
    if (searchSaid_) return;
    if (probesLeft_ > 0) {
        showStatus(
            QStringLiteral("Looking at the ports: %1 still to answer\u2026").arg(probesLeft_));
        return;
    }
    if (noAnswer_.isEmpty()) {
        showStatus(hint_);
        return;
    }
    QStringList names;
    for (qint16 n : noAnswer_) names << QStringLiteral("COM%1").arg(n);
    const QString last = names.takeLast();
    const QString ports =
        names.isEmpty() ? last : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
    showStatus(
        QStringLiteral("%1 did not open within %2 seconds, so %3 not listed. A Bluetooth "
                       "adapter may be switched off or out of range: switch it on, bring "
                       "it closer, and open Setup again.")
            .arg(ports)
            .arg((host_.limits.openMs + 999) / 1000)
            .arg(noAnswer_.size() == 1 ? QStringLiteral("it is") : QStringLiteral("they are")));
}

void Setup_Form::listPort(qint16 n) {
    if (n <= 0 || listedPorts_.contains(n)) return;
    int row = 0;
    while (row < listedPorts_.size() && listedPorts_.at(row) < n) ++row;
    auto* item = new QListWidgetItem(QStringLiteral("COM%1").arg(n));
    item->setToolTip(PortDescription(n, folder_, known_));
    selecting_ = true;
    CommPort_List->insertItem(row, item);
    listedPorts_.insert(row, n);
    selecting_ = false;
    selectSaved();
}

void Setup_Form::selectSaved() {
    if (userChose_) return;
    const bool wifi = ParseNetworkAddress(d_.Network).has_value();
    selecting_ = true;
    selectRow(CommPort_List,
              wifi ? int(listedPorts_.size())
                   : FindListItem(QStringLiteral("COM%1").arg(d_.ComPort), CommPort_List));
    selecting_ = false;
}

void Setup_Form::refuse(const QString& text, const QString& detail) {
    host_.showMessage(this, Message{text, QStringLiteral("Setup"), MessageIcon::Warning, detail});
}

void Setup_Form::showPanel3(const QString& text) const {
    if (setPanel3_) setPanel3_(text);
}

void Setup_Form::SaveConfig_Click() {
    if (ops_) {
        const Operations::Verdict save = ops_->check(Operations::Action::Save);
        if (!save.allowed) {
            refuse(save.text, save.detail);
            return;
        }
        // What the search finds no longer matters: the user has chosen.
        if (searching()) ops_->cancel();
    }
    const std::optional<qint16> port = chosenPort();
    if (!port && !wifiChosen()) {
        // Writing a made-up port number would silently replace a setting the
        // user may still want; better to say why nothing can be saved.
        const QString why =
            probesLeft_ > 0 ? QStringLiteral(
                                  "Some ports have not answered yet. Wait until they have, choose "
                                  "a port in the Comm Ports list, then press Save.")
            : CommPort_List->count() == 1
                ? QStringLiteral(
                      "None of the ports COM%1 to COM%2 could be opened when this dialog "
                      "opened. Plug in the adapter or close the program that holds the "
                      "port, then open Setup again.")
                      .arg(kFirstPort)
                      .arg(kLastPort)
                : QStringLiteral("Choose a port in the Comm Ports list, then press Save.");
        refuse(QStringLiteral("No port is selected, so the settings were not saved."), why);
        return;
    }

    // Work on a copy: the settings in use change only once the file holds
    // them too. A Wi-Fi adapter keeps the COM port as it was.
    Defines next = d_;
    next.Network.clear();
    if (wifiChosen()) {
        QString why;
        const std::optional<NetworkAddress> address = chosenAddress(&why);
        if (!address) {
            refuse(QStringLiteral("The Wi-Fi adapter's address cannot be saved."), why);
            return;
        }
        next.Network = address->text();
    } else {
        next.ComPort = *port;
    }
    next.ComSpeed = selectedText(Speed_List);
    next.IniFilePath = SetupIniFilePath(host_);

    QString error;
    const bool written = WriteIniFile(
        next, [this](const QString& text) { showPanel3(text); }, &error);
    if (!written) {
        // The writer shows the values it tried; the panel must show those in use.
        showPanel3(StatusText(d_));
        host_.showMessage(
            this, Message{QStringLiteral("The settings file could not be saved as %1.")
                              .arg(QDir::toNativeSeparators(next.IniFilePath)),
                          QStringLiteral("Setup"), MessageIcon::Critical,
                          error.isEmpty()
                              ? QStringLiteral("The settings in use have not changed.")
                              : error + QStringLiteral("\nThe settings in use have not changed.")});
        return;
    }

    d_.ComPort = next.ComPort;
    d_.ComSpeed = next.ComSpeed;
    d_.Network = next.Network;
    d_.IniFilePath = next.IniFilePath;
    accept();
}

void Setup_Form::SetupCancel_Click() {
    reject();
}

bool Setup_Form::wifiChosen() const {
    const QList<QListWidgetItem*> items = CommPort_List->selectedItems();
    return !items.isEmpty() && CommPort_List->row(items.first()) == listedPorts_.size();
}

std::optional<qint16> Setup_Form::chosenPort() const {
    const QList<QListWidgetItem*> items = CommPort_List->selectedItems();
    const int row = items.isEmpty() ? -1 : CommPort_List->row(items.first());
    if (row < 0 || row >= listedPorts_.size()) return std::nullopt;
    return listedPorts_.at(row);
}

std::optional<NetworkAddress> Setup_Form::chosenAddress(QString* why) const {
    QString host = NetAddress->text().trimmed();
    // An IPv6 address is written in brackets before its port.
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    const std::optional<NetworkAddress> address =
        ParseNetworkAddress(host + QLatin1Char(':') + NetPort->text().trimmed());
    if (!address)
        *why = QStringLiteral(
                   "Give the adapter's address, such as %1, and its port, from 1 to "
                   "65535 (%2 for most adapters).")
                   .arg(QLatin1String(kDefaultNetworkHost))
                   .arg(kDefaultNetworkPort);
    return address;
}

void Setup_Form::layOut() {
    const bool wifi = wifiChosen();
    wifiRow_->setVisible(wifi);
    const int top = kRuleTop + (wifi ? kWifiRowHeight : 0);
    rule_->setGeometry(kMargin, top, kStatusWidth, Tw(30));
    FindAdapter->setGeometry(kMargin, top + Tw(105), Tw(1455), Tw(375));
    showStatus(FindStatus->text());
}

void Setup_Form::showStatus(const QString& text) {
    FindStatus->setText(text);
    const int top = FindAdapter->geometry().bottom() + 1 + Tw(120);
    const int height = qMax(statusMinHeight_, FindStatus->heightForWidth(kStatusWidth));
    FindStatus->setGeometry(kMargin, top, kStatusWidth, height);
    const QSize size(kDialogWidth, top + height + kMargin);
    if (size != minimumSize() || size != maximumSize()) setFixedSize(size);
}

bool Setup_Form::searching() const {
    return ops_ && ops_->state() == Operations::State::Searching;
}

void Setup_Form::showSearching() {
    const bool on = searching();
    FindAdapter->setText(on ? kStop : kFind);
    // The search chooses from the lists as they were when it started.
    CommPort_List->setEnabled(!on);
    Speed_List->setEnabled(!on);
}

void Setup_Form::FindAdapter_Click() {
    if (!ops_) return;
    if (searching()) {
        ops_->cancel();
        return;
    }
    searchSaid_ = true;
    const Operations::Verdict find = ops_->check(Operations::Action::Find);
    if (!find.allowed) {
        showStatus(find.text);
        return;
    }
    // A Wi-Fi adapter is checked at its one address: no network is scanned.
    if (wifiChosen()) {
        QString why;
        const std::optional<NetworkAddress> address = chosenAddress(&why);
        if (address) {
            ops_->findAdapterAt(*address);
        } else {
            showStatus(why);
        }
        return;
    }
    // Every port the system lists, above COM16 too; runs on its own, and
    // this returns at once.
    ops_->findAdapter(ListedComPorts(host_, folder_));
}

void Setup_Form::selectFound(const FinderReport& report) {
    const int chosen = report.chosen();
    if (report.stopped || chosen < 0) return;
    const FoundAdapter& adapter = report.found.at(chosen);
    const auto select = [](QListWidget* list, const QString& text) {
        const QList<QListWidgetItem*> items = list->findItems(text, Qt::MatchFixedString);
        if (!items.isEmpty()) list->setCurrentItem(items.first());
    };
    // Found where the list has no row (above COM16, or a port whose probe
    // did not answer): listed now, to be chosen and saved as any other.
    if (adapter.address.isEmpty()) listPort(adapter.port);
    if (const int row = listedPorts_.indexOf(adapter.port); row >= 0)
        CommPort_List->setCurrentRow(row);
    select(Speed_List, QString::number(adapter.speed));
}

void Setup_Form::done(int result) {
    // The search goes with the dialog.
    if (searching()) ops_->cancel();
    QDialog::done(result);
}

}  // namespace tavrin
