#pragma once

#include <QMainWindow>
#include <QPointer>

class QAction;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;

namespace tavrin {

class Exchange;
class Host;
class MSComm;
struct Defines;
struct WaitResult;

// Converts the layout's twips to logical pixels (15 twips a pixel at 96 dpi).
constexpr int Tw(int twips) {
    return (twips + 7) / 15;
}

// The main window: every control the rest of the program writes to, the
// serial control, the watchdog and the handlers of the buttons and menus.
class Form1 : public QMainWindow {
    Q_OBJECT
public:
    Form1(Defines& defines, Host& host, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls, named as the rest of the program and the tests know them.
    QPushButton* Connect_Command = nullptr;
    QPushButton* Command1 = nullptr;
    QGroupBox* ClusterInfo = nullptr;
    QLabel* ClusterInfotext = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* PM_label = nullptr;
    MSComm* MSComm1 = nullptr;
    QTimer* Timer1 = nullptr;
    QAction* mnu_Setup = nullptr;
    QAction* mnu_About = nullptr;

    // Status-bar panels, numbered 1 to 4 from the left.
    QString panelText(int panel) const;
    void setPanelText(int panel, const QString& text);

    Defines& defines() { return d_; }
    Host& host() { return host_; }
    Exchange& exchange() { return *exchange_; }
    // Folder that holds the settings file; ports/comN links live there.
    QString settingsFolder() const;
    // True while a connection attempt, a read or a toggle talks to the adapter.
    bool busy() const;

    // Handlers, public so that tests can drive them as a click would.
    void Connect_Command_Click();
    void Command1_Click();
    void Timer1_Timer();
    void mnu_Setup_Click();
    void mnu_About_Click();

    // Runs one connection attempt; true when it completed.
    bool ConnectELM();
    // Reads the police-mode record and shows it; true when the read completed.
    bool ReadPoliceMode();

    QWidget* setupDialog() const;
    QWidget* aboutBox() const;

private:
    struct Failure;
    bool GetClusterInfo(Failure* failure);
    bool PoliceModeRead(Failure* failure);
    enum class WriteOutcome { Acknowledged, Skipped, Refused, NotSafe };
    WriteOutcome WritePoliceMode(const QString& readRecord, Failure* failure);
    bool prefixedExchange(const QString& request, const QString& prefix, QString* phase1,
                          QString* remainder, Failure* failure);
    void Disconnect();
    void showNotConnected();
    void portCheckFailed(const QString& detail);
    void endAttempt(const QString& command, const WaitResult& result);
    void showError(const QString& text, const QString& detail = {});
    void onPortClosed();
    void onPortLost(const QString& reason);
    void setBusy(bool busy);
    void refreshControls();

    Defines& d_;
    Host& host_;
    Exchange* exchange_ = nullptr;
    QLabel* panels_[4] = {};
    bool busy_ = false;
    bool command1Wanted_ = false;
    QPointer<QWidget> setup_;
    QPointer<QWidget> about_;
};

// Window caption: product name, " v", major, ".", minor and revision.
QString MainCaption();

// Start-up: creates the main window, reads the settings and shows the window.
Form1* Main(Defines& defines, Host& host);

}  // namespace tavrin
