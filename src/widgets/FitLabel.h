#pragma once

#include <QLabel>

#include "widgets/CaptionFit.h"

namespace tavrin {

// A label of a fixed size whose plain text always shows whole: in its own
// font if the text fits (on one line, or wrapped if the label wraps), and
// otherwise in a smaller one, just small enough (never under 7 pt). The
// label keeps its size. Rich text and pictures are shown as QLabel shows
// them.
class FitLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

    // The font the text is shown in at the label's present size.
    QFont shownFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool plainText() const;
    QRect textRect() const;
    int textFlags() const;

    FitMemo memo_;
};

}  // namespace tavrin
