#include "cluster/PoliceSafety.h"

#include <QRegularExpression>

#include "core/Defines.h"

namespace tavrin::cluster {

QString RecordText(const Defines& d) {
    return d.PM_TwoBytes == 1 ? d.PM_Data[1] + d.PM_Data[2] : d.PM_Data[1];
}

QString ExpectedPoliceWrite(const QString& record) {
    static const QRegularExpression form(QStringLiteral("^(?:[0-9A-Fa-f]{2}){1,2}$"));
    if (!form.match(record).hasMatch()) return {};
    QString request = QStringLiteral("3b03");
    for (int i = 0; i < record.size(); i += 2) {
        int byte = record.mid(i, 2).toInt(nullptr, 16);
        if (i == 0) byte ^= 0x04;
        request += QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return request;
}

}  // namespace tavrin::cluster
