#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>

#include "platform/AdapterLog.h"

class QPlainTextEdit;
class QPushButton;

namespace tavrin {

class AdapterLog;
class Host;

// The adapter log: every exchange since the program started, newest last,
// growing as lines arrive. A window of its own, not modal, deleted when closed.
class frmLog : public QDialog {
    Q_OBJECT
public:
    // The lines a saved log starts with: the program, the port and the
    // adapter, for whoever reads it later.
    using Header = std::function<QStringList()>;

    explicit frmLog(Host& host, Header header = {});

    QPlainTextEdit* txtLog = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdClose = nullptr;

    // Handlers, public so that tests can drive them as a click would.
    void cmdSave_Click();
    void cmdClear_Click();

    // Writes the header and what the window shows to path, replacing the
    // file in one step.
    bool saveTo(const QString& path, QString* error) const;

private:
    void showEntry(const AdapterLog::Entry& entry);

    Host& host_;
    Header header_;
    QPointer<AdapterLog> log_;
};

}  // namespace tavrin
