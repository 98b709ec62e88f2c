#include "platform/WrapButton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace tavrin {

void WrapButton::paintEvent(QPaintEvent* event) {
    if (fontMetrics().horizontalAdvance(text()) + 12 <= width()) {
        QPushButton::paintEvent(event);
        return;
    }
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect area =
        style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).adjusted(2, 0, -2, 0);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, text());
}

}  // namespace tavrin
