#include "widgets/FitGroupBox.h"

#include <QStyleOptionGroupBox>
#include <QStylePainter>

namespace tavrin {

bool FitGroupBox::titleFits(const QFont& font) const {
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    option.fontMetrics = QFontMetrics(font, this);
    const QRect title =
        style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, this);
    // As much room on the right as the style leaves on the left.
    return title.left() >= 0 && title.right() <= width() - 1 - title.left();
}

QFont FitGroupBox::shownFont() const {
    if (title().isEmpty()) return font();
    return memo_.shown(title(), font(), size(), [this] {
        return FittingFont(font(), this,
                           [this](const QFont& candidate) { return titleFits(candidate); });
    });
}

void FitGroupBox::paintEvent(QPaintEvent* event) {
    const QFont shown = shownFont();
    if (shown == font()) {
        QGroupBox::paintEvent(event);
        return;
    }
    QStylePainter painter(this);
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    painter.setFont(shown);
    option.fontMetrics = QFontMetrics(shown, this);
    painter.drawComplexControl(QStyle::CC_GroupBox, option);
}

}  // namespace tavrin
