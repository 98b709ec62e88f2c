#pragma once

#include <QPushButton>

namespace tavrin {

// A push button whose caption wraps onto a second line when it does not fit,
// as captions of the classic buttons did. text() stays the plain caption, with
// its mnemonic's "&" if it has one.
class WrapButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tavrin
