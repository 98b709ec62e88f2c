#pragma once

#include <QPushButton>

#include "widgets/CaptionFit.h"

class QStyleOptionButton;

namespace tavrin {

// A push button of a fixed size whose caption always shows whole: on one
// line if it fits, wrapped at word breaks onto more lines if that fits, as
// captions of the classic buttons were, and otherwise in a smaller font, just
// small enough (never under 7 pt). The button keeps its size, and text()
// stays the plain caption, with its mnemonic's "&" if it has one.
class FitButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

    // The font the caption is shown in at the button's present size.
    QFont shownFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Where the caption goes: the style's contents, inside the frame.
    QRect captionRect(const QStyleOptionButton& option) const;

    FitMemo memo_;
};

}  // namespace tavrin
