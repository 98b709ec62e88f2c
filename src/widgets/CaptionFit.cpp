#include "widgets/CaptionFit.h"

#include <QFontMetrics>
#include <QWidget>

#include "widgets/FitButton.h"
#include "widgets/FitGroupBox.h"
#include "widgets/FitLabel.h"

namespace tavrin {

namespace {

// Small enough that the caption keeps as much of its size as it can.
constexpr qreal kStepPoints = 0.5;

qreal pointsOf(const QFont& font, const QWidget* widget) {
    if (font.pointSizeF() > 0) return font.pointSizeF();
    // A font given in pixels: its size in points on this widget's screen.
    const int dpi = widget ? widget->logicalDpiY() : 96;
    return font.pixelSize() * 72.0 / qMax(1, dpi);
}

}  // namespace

QFont FittingFont(const QFont& font, const QWidget* widget,
                  const std::function<bool(const QFont&)>& fits) {
    const qreal own = pointsOf(font, widget);
    if (own <= kSmallestCaptionPoints || fits(font)) return font;
    QFont smaller = font;
    for (qreal points = own - kStepPoints;; points -= kStepPoints) {
        points = qMax(points, kSmallestCaptionPoints);
        smaller.setPointSizeF(points);
        if (points <= kSmallestCaptionPoints || fits(smaller)) return smaller;
    }
}

bool TextFits(const QFont& font, const QWidget* widget, const QSize& room, int flags,
              const QString& text) {
    if (room.isEmpty()) return text.isEmpty();
    const QFontMetrics metrics(font, widget);
    // A tall rectangle: what the text needs, not what the room clips it to.
    const QRect needed = metrics.boundingRect(QRect(0, 0, room.width(), 1 << 20),
                                              flags & ~Qt::AlignVertical_Mask, text);
    return needed.width() <= room.width() && needed.height() <= room.height();
}

QFont ShownFont(const QWidget* widget) {
    if (const auto* button = qobject_cast<const FitButton*>(widget)) return button->shownFont();
    if (const auto* label = qobject_cast<const FitLabel*>(widget)) return label->shownFont();
    if (const auto* box = qobject_cast<const FitGroupBox*>(widget)) return box->shownFont();
    return widget->font();
}

QFont FitMemo::shown(const QString& text, const QFont& font, const QSize& room,
                     const std::function<QFont()>& fit) const {
    if (!valid_ || text != text_ || room != room_ || font != font_) {
        text_ = text;
        font_ = font;
        room_ = room;
        shown_ = fit();
        valid_ = true;
    }
    return shown_;
}

}  // namespace tavrin
