#pragma once

#include <QDialog>
#include <QIcon>
#include <array>

class QLabel;
class QPushButton;

namespace tavrin {

// The program's icon, for every window.
QIcon ProgramIcon();
// The 32 x 32 picture of the icon.
QPixmap ProgramIconPixmap();

// The About box: product, version, supported cars and the warning. A window
// of its own, not modal, deleted when closed.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    frmAbout();

    QPushButton* cmdOK = nullptr;
    QLabel* picIcon = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblDescription = nullptr;
    QLabel* lblDisclaimer = nullptr;
    // The etched separator: element 0 the white line, element 1 the grey one.
    std::array<QWidget*, 2> Line1 = {};
};

}  // namespace tavrin
