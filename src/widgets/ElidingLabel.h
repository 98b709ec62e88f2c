#pragma once

#include <QLabel>

namespace tavrin {

// A one-line label that shortens a text too long for it with "…" instead of
// growing or cutting it off mid-character: from the end, unless that would
// cut a version number, which then stays whole with the start of the text
// ("OBDII to R… v2.1"). The whole text stays its text() and its tooltip.
class ElidingLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

    // What the label shows at its present width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tavrin
