#pragma once

#include <QDialog>
#include <QPointer>

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
    explicit frmLog(Host& host);

    QPlainTextEdit* txtLog = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdClose = nullptr;

    // Handlers, public so that tests can drive them as a click would.
    void cmdSave_Click();
    void cmdClear_Click();

    // Writes what the window shows to path, replacing the file in one step.
    bool saveTo(const QString& path, QString* error) const;

private:
    void append(const QString& line);

    Host& host_;
    QPointer<AdapterLog> log_;
};

}  // namespace tavrin
