#pragma once

#include <QString>

namespace tavrin {
struct Defines;
namespace cluster {

// The record as read: entry 1, and entry 2 when the answer had two bytes.
QString RecordText(const Defines& d);
// The only write a record may lead to: "3b03" and the same bytes with bit 2
// of the first byte inverted, in lower case. Computed with plain integers,
// apart from the bit table, as an independent check. Empty when the record
// is not one or two bytes of hexadecimal digits.
QString ExpectedPoliceWrite(const QString& record);

}  // namespace cluster
}  // namespace tavrin
