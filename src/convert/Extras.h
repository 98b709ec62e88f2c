#pragma once

#include <QString>
#include <stdexcept>

namespace tavrin {

// Raised when a value does not fit the 32-bit signed arithmetic of the
// conversions below. No caller in the program passes such values (its fields
// are single bytes); the limit exists so that misuse fails loudly.
class ConversionOverflow : public std::overflow_error {
public:
    using std::overflow_error::overflow_error;
};

// Numbers held as text, converted between decimal, binary ("0"/"1" digits)
// and hexadecimal. Every conversion first drops one leading "-" (remembered as
// the sign) and then every leading "0"; if nothing remains the result is "0".
// Results carry no leading zeros and get "-" in front for a negative input.

// Decimal to binary, most significant digit first. Raises ConversionOverflow
// for 2^30 (1073741824) and above.
QString DecimalToBinary(const QString& text);

// Binary to decimal. Any character other than "1" is a 0 digit. Raises
// ConversionOverflow for 31 or more digits after leading zeros.
QString BinaryToDecimal(const QString& text);

// Hexadecimal (either case) to decimal. Raises ConversionOverflow for
// 40000000 hexadecimal and above.
QString HexToDecimal(const QString& text);

// Hexadecimal (either case) to binary, any length. A character that is not a
// hexadecimal digit counts as 0000; a text of such characters only (a lone
// line end, for example) gives the empty text.
QString HexToBinary(const QString& text);

// Binary to lower-case hexadecimal, any length.
QString BinaryToHex(const QString& text);

}  // namespace tavrin
