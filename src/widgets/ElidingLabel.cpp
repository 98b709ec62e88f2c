#include "widgets/ElidingLabel.h"

#include <QPainter>
#include <QRegularExpression>
#include <QStyle>

namespace tavrin {

QString ElidingLabel::shownText() const {
    const int room = qMax(0, contentsRect().width() - 2 * margin() - 2 * indent());
    const QFontMetrics metrics = fontMetrics();
    const QString whole = text();
    const QString right = metrics.elidedText(whole, Qt::ElideRight, room);
    // A version ("v1.5", "2.1") is what tells one adapter from another: it
    // stays whole, with the start of the name, and the middle gives way.
    static const QRegularExpression version(QStringLiteral("\\bv?[0-9]+(?:\\.[0-9A-Za-z]+)+\\b"),
                                            QRegularExpression::CaseInsensitiveOption);
    QRegularExpressionMatch last;
    for (auto it = version.globalMatch(whole); it.hasNext();) last = it.next();
    if (!last.hasMatch() || right == whole || right.contains(last.captured())) return right;
    const QString start = whole.left(last.capturedStart()).trimmed();
    const QString end = whole.mid(last.capturedStart());
    const QString ellipsis(QChar(0x2026));
    const int startRoom = room - metrics.horizontalAdvance(QLatin1Char(' ') + end);
    const QString shortened = metrics.elidedText(start, Qt::ElideRight, qMax(0, startRoom));
    if (startRoom > 0 && shortened.size() > 1 && shortened != ellipsis)
        return shortened + QLatin1Char(' ') + end;
    return metrics.elidedText(whole, Qt::ElideMiddle, room);
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
