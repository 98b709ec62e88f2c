#pragma once

#include <QString>
#include <array>
#include <optional>
#include <vector>

#include "core/Defines.h"

// The parts of the cluster services that work on answer texts alone: they
// read and write the program-wide variables and touch no window or port.
namespace tavrin::cluster {

// One row of the model catalogue: part-number prefix, first suffix code as
// the adapter prints it, the suffix letter and the model name.
struct CatalogueRow {
    const char* prefix;
    const char* code;
    const char* letter;
    const char* model;
};

// One row of the second-letter table.
struct SecondLetterRow {
    const char* code;
    const char* letter;
};

// The catalogue in lookup order: families "3R23", "3R73", "5R29", "5R79",
// each in code order.
const std::vector<CatalogueRow>& Catalogue();
const std::vector<SecondLetterRow>& SecondLetterTable();

// Identifier E21A: data bytes 1 to 4 of the answer remainder, each taken as
// the Latin-1 character with that code. A short or empty field gives code 0.
QString PartPrefixFromRemainder(const QString& remainder);

// Identifier E217: data bytes 1, 3 and 4 of the remainder, joined as printed.
QString PartBaseFromRemainder(const QString& remainder);

// Identifier E219: sets SuffixCode, SuffixLetter, PartSuffix and ModelName
// from the remainder and d.PartPrefix. Codes without a row clear the letter
// (and, for the first code, the model name) so nothing stale is shown.
void GetClusterModel(Defines& d, const QString& answer);

// PartBase as a number without leading zeros ("0" when nothing remains).
QString BaseNumberText(const QString& partBase);

// Prefix-base-suffix as shown in the status bar, with unprintable prefix
// characters shown as "?".
QString DisplayPartNumber(const Defines& d);

// The two characters before the "61 03 " that ends phase1, when they are two
// hexadecimal digits preceded by a space (the frame's own length byte, as
// printed with headers on); empty otherwise.
QString FrameLengthField(const QString& phase1);

class PoliceRecord;

// Applies a police-mode read: phase1 is the text collected up to and including
// "61 03 ", phase2 the data line up to its carriage return. Updates
// PM_TwoBytes (only for length "03" or "04"), PM_Data[1..2] and PM_Bits, what
// the window shows, and returns the record when the read was valid: the
// frame's length byte 03 or 04, and a data line of exactly that many data
// bytes.
std::optional<PoliceRecord> ApplyPoliceRead(Defines& d, const QString& phase1,
                                            const QString& phase2);

// The police-mode record as one valid read found it: a value, from the read
// to the write. Only a valid read makes one, so a write built from a
// PoliceRecord is always built from a record that was read completely and
// validly.
class PoliceRecord {
public:
    // The data bytes as the adapter printed them: "4C12", or "04".
    const QString& text() const { return text_; }
    bool twoBytes() const { return twoBytes_ == 1; }
    // Bits 0 to 15 as "0"/"1" texts: bit 0 the last binary digit of byte 1.
    const std::array<QString, 16>& bits() const { return bits_; }
    // "ON" or "OFF".
    QString label() const;

private:
    friend std::optional<PoliceRecord> ApplyPoliceRead(Defines&, const QString&, const QString&);
    friend PoliceRecord InvertPoliceBit(PoliceRecord record);
    PoliceRecord(const Defines& d);

    QString text_;
    qint16 twoBytes_ = 0;
    std::array<QString, 16> bits_;
};

// "ON" or "OFF" from PM_Bits[2]; empty when the bit holds anything else,
// meaning the label keeps its text.
QString PoliceModeLabel(const Defines& d);

// The record with the police-mode bit (bit 2) inverted.
PoliceRecord InvertPoliceBit(PoliceRecord record);

// Re-encodes both data bytes from the record's bits (two lower-case
// hexadecimal digits each) and returns the write request without its line
// end: "3b03", byte 1, and byte 2 when the record has two bytes.
QString BuildPoliceWriteRequest(const PoliceRecord& record);

// The write that inverts police mode in the record read.
QString PoliceWriteRequest(const PoliceRecord& read);

}  // namespace tavrin::cluster
