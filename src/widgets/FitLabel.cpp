#include "widgets/FitLabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QTextDocument>

namespace tavrin {

bool FitLabel::plainText() const {
    // Selectable text is laid out by a text control of QLabel's own.
    if (textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard))
        return false;
    return textFormat() == Qt::PlainText ||
           (textFormat() == Qt::AutoText && !Qt::mightBeRichText(text()));
}

QRect FitLabel::textRect() const {
    return contentsRect().adjusted(margin(), margin(), -margin(), -margin());
}

int FitLabel::textFlags() const {
    int flags = int(QStyle::visualAlignment(layoutDirection(), alignment()));
    if (wordWrap()) flags |= Qt::TextWordWrap;
    // A buddy's mnemonic "&" is not shown, so it takes no room.
    if (buddy()) flags |= Qt::TextShowMnemonic;
    return flags;
}

QFont FitLabel::shownFont() const {
    if (text().isEmpty() || !plainText()) return font();
    const QSize room = textRect().size();
    const QString shown = text();
    const int flags = textFlags();
    return memo_.shown(shown, font(), room, [&] {
        return FittingFont(font(), this, [&](const QFont& candidate) {
            return TextFits(candidate, this, room, flags, shown);
        });
    });
}

void FitLabel::paintEvent(QPaintEvent* event) {
    const QFont shown = shownFont();
    if (shown == font()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    painter.setFont(shown);
    QStyleOption option;
    option.initFrom(this);
    int flags = textFlags();
    if (buddy() && !style()->styleHint(QStyle::SH_UnderlineShortcut, &option, this))
        flags |= Qt::TextHideMnemonic;
    style()->drawItemText(&painter, textRect(), flags, option.palette, isEnabled(), text(),
                          foregroundRole());
}

}  // namespace tavrin
