#pragma once

#include <QFont>
#include <QSize>
#include <QString>
#include <functional>

class QWidget;

namespace tavrin {

// A caption is never made smaller than this to fit its control.
inline constexpr qreal kSmallestCaptionPoints = 7.0;

// The font a caption is shown in: font itself when fits(font) holds, else
// the largest font below it, half a point at a time and never under
// kSmallestCaptionPoints, for which fits holds (the smallest when none
// does). A font already that small is left as it is.
QFont FittingFont(const QFont& font, const QWidget* widget,
                  const std::function<bool(const QFont&)>& fits);

// Whether text, laid out in font on widget with flags (alignment,
// Qt::TextWordWrap, Qt::TextShowMnemonic: a mnemonic's "&" takes no room),
// stays within room.
bool TextFits(const QFont& font, const QWidget* widget, const QSize& room, int flags,
              const QString& text);

// The font widget shows its caption in: what a FitButton, FitLabel or
// FitGroupBox has chosen, and any other widget's own font.
QFont ShownFont(const QWidget* widget);

// Remembers a control's last fitted font, so that painting measures again
// only when the caption, the font or the room has changed.
class FitMemo {
public:
    QFont shown(const QString& text, const QFont& font, const QSize& room,
                const std::function<QFont()>& fit) const;

private:
    mutable bool valid_ = false;
    mutable QString text_;
    mutable QFont font_;
    mutable QSize room_;
    mutable QFont shown_;
};

}  // namespace tavrin
