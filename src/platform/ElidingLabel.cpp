#include "platform/ElidingLabel.h"

#include <QPainter>
#include <QStyle>

namespace tavrin {

QString ElidingLabel::shownText() const {
    const int room = contentsRect().width() - 2 * margin() - 2 * indent();
    return fontMetrics().elidedText(text(), Qt::ElideRight, qMax(0, room));
}

// A long text must not widen the label and push its neighbours away.
QSize ElidingLabel::sizeHint() const {
    return QSize(minimumWidth(), QLabel::sizeHint().height());
}

QSize ElidingLabel::minimumSizeHint() const {
    return QSize(minimumWidth(), QLabel::minimumSizeHint().height());
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    const QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, room, int(alignment()), palette(), isEnabled(), shownText(),
                          foregroundRole());
}

}  // namespace tavrin
