#include "serial/LineSpeeds.h"

namespace tavrin {

QStringList OfferedSpeeds() {
    QStringList speeds;
    for (int speed : kLineSpeeds) speeds << QString::number(speed);
    return speeds;
}

QString OfferedSpeedsText() {
    QStringList speeds = OfferedSpeeds();
    const QString last = speeds.takeLast();
    return speeds.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

}  // namespace tavrin
