#pragma once

#include <QCoro/QCoroTask>
#include <QDialog>
#include <QList>
#include <QPointer>
#include <optional>

#include "config/INI_Handler.h"
#include "platform/Ports.h"
#include "runtime/Wait.h"
#include "serial/NetworkAddress.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tavrin {

class Host;
class Operations;
struct Defines;
struct FinderReport;

// The Setup dialog: the serial ports that can be opened right now and the
// offered line speeds; Save stores the choice in the settings and the
// settings file. A window of its own, not modal, deleted when closed.
class Setup_Form : public QDialog {
    Q_OBJECT
public:
    // The settings to show and change, the program's services, the owner of
    // what is running (its port is closed, its search runs from here, and
    // settings do not change under an operation) and how to show panel 3.
    // The owner may go away first.
    Setup_Form(Defines& defines, Host& host, Operations* operations, PanelSetter setPanel3);

    QGroupBox* Frame1 = nullptr;
    QListWidget* CommPort_List = nullptr;
    QPushButton* SaveConfig = nullptr;
    QPushButton* SetupCancel = nullptr;
    QGroupBox* Frame2 = nullptr;
    QListWidget* Speed_List = nullptr;
    QPushButton* FindAdapter = nullptr;  // reads "Stop" while a search runs
    QLabel* FindStatus = nullptr;
    // The Wi-Fi adapter's address and port, shown while "Wi-Fi adapter" is
    // the chosen port.
    QLineEdit* NetAddress = nullptr;
    QLineEdit* NetPort = nullptr;

    // The last item of the port list, after COM1 to COM16.
    static const QString kWifiItem;

    // Handlers, public so that tests can drive them as a click would.
    void SaveConfig_Click();
    void SetupCancel_Click();
    // Starts a search of the listed ports, or stops the one that is running.
    // Returns at once; the search reports as it goes and when it ends.
    void FindAdapter_Click();

    // Closing, Save and Cancel during a search stop it first.
    void done(int result) override;
    ~Setup_Form() override;
    // Ports whose probe has not answered yet: the list fills as they do.
    int portsBeingChecked() const { return probesLeft_; }

private:
    bool searching() const;
    void showSearching();
    bool wifiChosen() const;
    // The COM port of the selected row; nothing for none or the Wi-Fi row.
    std::optional<qint16> chosenPort() const;
    // The address in the two fields; nothing (and the words why) when it
    // cannot be used.
    std::optional<NetworkAddress> chosenAddress(QString* why) const;
    // Places the search's part under the Wi-Fi fields when they show.
    void layOut();
    void showStatus(const QString& text);
    void selectFound(const FinderReport& report);
    void Form_Load();
    // Probes port n and lists it when it can be opened now.
    QCoro::Task<void> checkPort(qint16 n);
    // Lists port n in its place among the others.
    void listPort(qint16 n);
    // Selects the saved port as the list now stands, unless the user has
    // chosen one meanwhile.
    void selectSaved();
    // What the probes have found, in the status line, until a search speaks.
    void showProbes();
    void refuse(const QString& text, const QString& detail);
    void showPanel3(const QString& text) const;

    Defines& d_;
    Host& host_;
    QPointer<Operations> ops_;
    PanelSetter setPanel3_;
    int statusMinHeight_ = 0;
    QWidget* wifiRow_ = nullptr;
    QFrame* rule_ = nullptr;
    // The COM ports the list offers, row by row; the Wi-Fi adapter's row
    // follows them.
    QList<qint16> listedPorts_;
    QString folder_;
    QList<PortInfo> known_;
    // The probes under way, and those that did not answer in time.
    int probesLeft_ = 0;
    QList<qint16> noAnswer_;
    StopSource probing_;
    bool gone_ = false;
    // The selection is the program's own (the saved port), not the user's.
    bool selecting_ = false;
    bool userChose_ = false;
    QString hint_;
    bool searchSaid_ = false;
};

}  // namespace tavrin
