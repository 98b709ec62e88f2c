#pragma once

#include <QDialog>
#include <QPointer>

class QGroupBox;
class QListWidget;
class QPushButton;
class QSerialPortInfo;

namespace tavrin {

class Form1;

// The Setup dialog: the serial ports that can be opened right now and the
// offered line speeds; Save stores the choice in the settings and the
// settings file. A window of its own, not modal, deleted when closed.
class Setup_Form : public QDialog {
    Q_OBJECT
public:
    explicit Setup_Form(Form1& form);

    QGroupBox* Frame1 = nullptr;
    QListWidget* CommPort_List = nullptr;
    QPushButton* SaveConfig = nullptr;
    QPushButton* SetupCancel = nullptr;
    QGroupBox* Frame2 = nullptr;
    QListWidget* Speed_List = nullptr;

    // Handlers, public so that tests can drive them as a click would.
    void SaveConfig_Click();
    void SetupCancel_Click();

private:
    void Form_Load();
    QString portToolTip(qint16 n, const QList<QSerialPortInfo>& known) const;
    void refuse(const QString& text, const QString& detail);

    QPointer<Form1> form_;
};

}  // namespace tavrin
