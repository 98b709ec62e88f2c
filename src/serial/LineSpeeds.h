#pragma once

#include <QString>
#include <QStringList>

namespace tavrin {

// The line speeds the program offers, in bit/s, in the order the Setup
// dialog lists them.
inline constexpr int kLineSpeeds[] = {9600, 38400, 115200};
// The same speeds in the order a search tries them, most likely first: most
// USB adapters ship at 38400, older ones at 9600, newer ones at 115200.
inline constexpr int kSearchSpeeds[] = {kLineSpeeds[1], kLineSpeeds[0], kLineSpeeds[2]};
// The offered speeds as texts ("9600", ...), and in words ("9600, 38400 or
// 115200").
QStringList OfferedSpeeds();
QString OfferedSpeedsText();

}  // namespace tavrin
