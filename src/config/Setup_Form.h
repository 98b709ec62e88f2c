#pragma once

#include <QDialog>
#include <QPointer>

#include "config/INI_Handler.h"

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSerialPortInfo;

namespace tavrin {

class AdapterFinder;
class Host;
class AdapterLine;
struct Defines;
struct FinderReport;

// The Setup dialog: the serial ports that can be opened right now and the
// offered line speeds; Save stores the choice in the settings and the
// settings file. A window of its own, not modal, deleted when closed.
class Setup_Form : public QDialog {
    Q_OBJECT
public:
    // Whether the main window is talking to the adapter right now.
    using BusyTest = std::function<bool()>;

    // The settings to show and change, the program's services, the serial
    // control to close (it may go away first), how to show panel 3, and
    // whether an operation runs (settings do not change under one).
    Setup_Form(Defines& defines, Host& host, AdapterLine* port, PanelSetter setPanel3,
               BusyTest operationRunning = {});

    QGroupBox* Frame1 = nullptr;
    QListWidget* CommPort_List = nullptr;
    QPushButton* SaveConfig = nullptr;
    QPushButton* SetupCancel = nullptr;
    QGroupBox* Frame2 = nullptr;
    QListWidget* Speed_List = nullptr;
    QPushButton* FindAdapter = nullptr;  // reads "Stop" while a search runs
    QLabel* FindStatus = nullptr;
    AdapterFinder* Finder = nullptr;

    // Handlers, public so that tests can drive them as a click would.
    void SaveConfig_Click();
    void SetupCancel_Click();
    // Searches the listed ports, or stops the search that is running. Returns
    // when the search has ended.
    void FindAdapter_Click();

    // Closing, Save and Cancel during a search stop it first and take effect
    // once its wait has returned, so the dialog is never deleted under it.
    void done(int result) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    enum class AfterSearch { Nothing, Save, Done, Close };

    void setSearching(bool searching);
    void showStatus(const QString& text);
    void selectFound(const FinderReport& report);
    void Form_Load();
    void refuse(const QString& text, const QString& detail);
    void showPanel3(const QString& text) const;

    Defines& d_;
    Host& host_;
    QPointer<AdapterLine> port_;
    PanelSetter setPanel3_;
    BusyTest operationRunning_;
    AfterSearch afterSearch_ = AfterSearch::Nothing;
    int doneResult_ = 0;
    int statusMinHeight_ = 0;
};

}  // namespace tavrin
