#pragma once

#include <QCoro/QCoroTask>
#include <QMainWindow>
#include <QPointer>

#include "widgets/Twips.h"

class QAction;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace tavrin {

class ClusterSession;
class Host;
struct SessionReport;
class AdapterLine;
class ClockTimer;
class Operations;
struct Defines;
struct Message;

// The main window. It shows the state the owner of what is running
// (Operations) holds and what the cluster session reports, and turns the
// user's clicks into requests to that owner; the conversation with the
// adapter lives below it.
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

    Operations& operations() { return *ops_; }
    ClusterSession& session();
    // True while a connection attempt, a change or a search runs.
    bool busy() const;

    // Handlers, public so that tests can drive them as a click would. Each
    // starts what it asks for and returns at once.
    void Connect_Command_Click();
    void Command1_Click();
    void mnu_Setup_Click();
    void mnu_About_Click();
    void mnu_Log_Click();

    QWidget* setupDialog() const { return setup_; }
    QWidget* aboutBox() const { return about_; }
    QWidget* logWindow() const { return log_; }

protected:
    // Esc cancels a connection attempt or a change, as the Cancel button does.
    void keyPressEvent(QKeyEvent* event) override;
    // Closing cancels what runs, or, once a change's write is sent, lets it
    // finish; the window then closes when it has ended.
    void closeEvent(QCloseEvent* event) override;
    // Awaits the end of what runs and the user's reading of its outcome,
    // then closes the window.
    QCoro::Task<void> closeWhenDone();

private:
    // The controls, where the window's layout puts them (Form1Widgets.cpp).
    void buildWidgets();
    // What the session and the owner report, shown where the window shows it.
    void wire();
    // Ctrl+Q: closes every window of the program; this one once its
    // operation allows.
    void quit();
    // Captions, enabled controls and panel 4, from the owner's state.
    void showState();
    void showNotConnected();
    // Connect's progress, and who has answered so far as its report names
    // them.
    void showConnectStep(int done, const SessionReport& report);
    void showMessages(const QList<Message>& messages);

    Defines& d_;
    Host& host_;
    Operations* ops_ = nullptr;
    QLabel* panels_[4] = {};
    QProgressBar* connectProgress_ = nullptr;
    // The adapter as it last named itself; it stays for the log's header.
    QString adapterName_;
    // Closing: asked and waiting for the operation and its last word, or
    // free to close.
    enum class Closing { No, Waiting, Done };
    Closing closing_ = Closing::No;
    QPointer<QWidget> setup_;
    QPointer<QWidget> about_;
    QPointer<QWidget> log_;
};

// Window caption: product name, " v", major, ".", minor and revision.
QString MainCaption();

// Start-up: creates the main window, reads the settings and shows the window.
Form1* Main(Defines& defines, Host& host);

}  // namespace tavrin
