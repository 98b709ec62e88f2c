#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>

#include "runtime/AdapterLog.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;

namespace tavrin {

class AdapterLog;
class Host;
struct Defines;

// What a saved adapter log starts with: the program, the port (or the Wi-Fi
// adapter's address) and speed of the settings, and the adapter as it last
// named itself (empty: not identified).
QStringList AdapterLogHeader(const Defines& d, const Host& host, const QString& adapterName);

// The adapter log: every exchange since the program started, newest last,
// growing as lines arrive; and on a second tab the changes made to clusters,
// from the write history. A window of its own, not modal, deleted when closed.
class frmLog : public QDialog {
    Q_OBJECT
public:
    // The lines a saved log starts with: the program, the port and the
    // adapter, for whoever reads it later.
    using Header = std::function<QStringList()>;

    // Where the write history is; asked each time the Changes tab is shown,
    // since the settings file it lies beside may be created meanwhile.
    using HistoryPath = std::function<QString()>;

    explicit frmLog(Host& host, Header header = {}, HistoryPath historyPath = {});

    QTabWidget* tabs = nullptr;
    QPlainTextEdit* txtLog = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdClose = nullptr;
    QLabel* lblChanges = nullptr;
    QTableWidget* tblChanges = nullptr;

    // Handlers, public so that tests can drive them as a click would.
    void cmdSave_Click();
    void cmdClear_Click();

    // Writes the header and what the window shows to path, replacing the
    // file in one step.
    bool saveTo(const QString& path, QString* error) const;

    // Reads the write history again into the Changes tab.
    void refreshChanges();

protected:
    void changeEvent(QEvent* event) override;

private:
    void showEntry(const AdapterLog::Entry& entry);

    Host& host_;
    Header header_;
    HistoryPath historyPath_;
    QWidget* changesPage_ = nullptr;
    QPointer<AdapterLog> log_;
};

}  // namespace tavrin
