#pragma once

#include <QMainWindow>
#include <QPointer>

#include "platform/Twips.h"

class QAction;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace tavrin {

class ClusterSession;
class Host;
class AdapterLine;
class ClockTimer;
struct Defines;
struct Message;

// The main window. It shows what the cluster session reports and turns the
// user's clicks into session calls; the conversation with the adapter lives
// in the session.
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
    AdapterLine* MSComm1 = nullptr;  // the session's serial control
    ClockTimer* Timer1 = nullptr;    // the session's watchdog
    QAction* mnu_Setup = nullptr;
    QAction* mnu_About = nullptr;
    QAction* mnu_Log = nullptr;

    // Status-bar panels, numbered 1 to 4 from the left.
    QString panelText(int panel) const;
    void setPanelText(int panel, const QString& text);

    Defines& defines() { return d_; }
    Host& host() { return host_; }
    ClusterSession& session() { return *session_; }
    // True while a connection attempt, a read or a toggle talks to the adapter.
    bool busy() const;

    // Handlers, public so that tests can drive them as a click would.
    void Connect_Command_Click();
    void Command1_Click();
    void mnu_Setup_Click();
    void mnu_About_Click();
    void mnu_Log_Click();

    QWidget* setupDialog() const;
    QWidget* aboutBox() const;
    QWidget* logWindow() const;

protected:
    // Esc cancels a connection attempt or a read, as the Cancel button does.
    void keyPressEvent(QKeyEvent* event) override;
    // Closing during an operation cancels it, or, once its write is sent,
    // lets it finish; the window closes when it has ended.
    void closeEvent(QCloseEvent* event) override;

private:
    // Ctrl+Q: closes every window of the program, once an operation allows.
    void quit();
    // The buttons' clicks; a click within the double-click interval of the
    // one that started or ended an operation is the second of a double-click
    // and does nothing.
    void connectClicked();
    void toggleClicked();
    bool secondClick() const;
    void operationEnded(const QList<Message>& messages);
    // What a saved adapter log starts with.
    QStringList logHeader() const;
    void showNotConnected();
    void showMessages(const QList<Message>& messages);
    void setBusy(bool busy);
    void refreshControls();

    Defines& d_;
    Host& host_;
    ClusterSession* session_ = nullptr;
    QLabel* panels_[4] = {};
    bool busy_ = false;
    bool command1Wanted_ = false;
    bool closeWhenDone_ = false;
    bool quitWhenClosed_ = false;
    // The adapter as it last named itself; it stays for the log's header.
    QString adapterName_;
    QProgressBar* connectProgress_ = nullptr;
    // When the last click started or ended an operation, on the host's clock.
    qint64 lastActMs_ = -1;
    // What the Connect/Disconnect button offers when no operation runs.
    QString modeCaption_;
    QPointer<QWidget> setup_;
    QPointer<QWidget> about_;
    QPointer<QWidget> log_;
};

// Window caption: product name, " v", major, ".", minor and revision.
QString MainCaption();

// Start-up: creates the main window, reads the settings and shows the window.
Form1* Main(Defines& defines, Host& host);

}  // namespace tavrin
