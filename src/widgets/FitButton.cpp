#include "widgets/FitButton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace tavrin {

namespace {

constexpr int kWrapped = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;
constexpr int kOneLine = Qt::AlignCenter | Qt::TextShowMnemonic;

}  // namespace

QRect FitButton::captionRect(const QStyleOptionButton& option) const {
    return style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
}

QFont FitButton::shownFont() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    const QSize room = captionRect(option).size();
    const QString caption = text();
    return memo_.shown(caption, font(), room, [&] {
        return FittingFont(font(), this, [&](const QFont& candidate) {
            return TextFits(candidate, this, room, kWrapped, caption);
        });
    });
}

void FitButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QFont shown = shownFont();
    painter.setFont(shown);
    option.fontMetrics = QFontMetrics(shown, this);
    const QRect room = captionRect(option);
    if (TextFits(shown, this, room.size(), kOneLine, option.text)) {
        // One line: as the style draws any button's caption.
        painter.drawControl(QStyle::CE_PushButton, option);
        return;
    }
    // More lines: the style draws the button, and the caption goes on top.
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const bool underline = style()->styleHint(QStyle::SH_UnderlineShortcut, &option, this);
    style()->drawItemText(&painter, room, kWrapped | (underline ? 0 : int(Qt::TextHideMnemonic)),
                          option.palette, isEnabled(), caption, QPalette::ButtonText);
}

}  // namespace tavrin
