#pragma once

#include <QGroupBox>

#include "widgets/CaptionFit.h"

namespace tavrin {

// A frame of a fixed size whose title always shows whole: in its own font if
// it fits, otherwise in a smaller one, just small enough (never under 7 pt).
// What the frame holds keeps its own font.
class FitGroupBox : public QGroupBox {
    Q_OBJECT
public:
    using QGroupBox::QGroupBox;

    // The font the title is shown in at the frame's present width.
    QFont shownFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool titleFits(const QFont& font) const;

    FitMemo memo_;
};

}  // namespace tavrin
