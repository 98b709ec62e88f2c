// The parsing of the cluster's identification and police-mode answers on
// arbitrary text. Besides not crashing, a read the program accepts as valid
// must lead to exactly one possible write: the record read with the
// police-mode bit inverted.
#include <fuzzer/FuzzedDataProvider.h>

#include <QString>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "cluster/ClusterParsing.h"
#include "cluster/PoliceSafety.h"
#include "convert/Extras.h"
#include "core/Defines.h"

using namespace tavrin;
using namespace tavrin::cluster;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

QString take(FuzzedDataProvider& in) {
    const std::string s = in.ConsumeRandomLengthString(256);
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

void identification(Defines& d, FuzzedDataProvider& in) {
    d.PartPrefix = PartPrefixFromRemainder(take(in));
    require(d.PartPrefix.size() == 4);
    d.PartBase = PartBaseFromRemainder(take(in));
    GetClusterModel(d, take(in));
    // The prefix comes from raw character codes; what is shown of it must be
    // printable whatever the cluster sent.
    const QString shown = DisplayPartNumber(d);
    for (QChar c : shown.left(4)) require(c.isPrint() && c.unicode() <= 0xFF);
    require(shown.at(4) == u'-');
}

void policeRead(Defines& d, FuzzedDataProvider& in) {
    QString phase1 = take(in);
    // Most real first phases end in the answer prefix; help the fuzzer there.
    if (in.ConsumeBool()) phase1 += QStringLiteral("61 03 ");
    const QString phase2 = take(in);
    d.PM_TwoBytes = in.ConsumeBool() ? 1 : 0;  // a stale value from an earlier read
    const std::optional<PoliceRecord> read = ApplyPoliceRead(d, phase1, phase2);
    if (!read) return;

    const QString label = PoliceModeLabel(d);
    require(label == QLatin1String("ON") || label == QLatin1String("OFF"));
    require(read->label() == label);
    const QString record = RecordText(d);
    require(record == read->text());
    const QString expected = ExpectedPoliceWrite(record);
    require(!expected.isEmpty());
    const PoliceRecord inverted = InvertPoliceBit(*read);
    require(inverted.label() != label);
    require(BuildPoliceWriteRequest(inverted) == expected);
    require(PoliceWriteRequest(*read) == expected);
    // The window's copy keeps the record as read.
    require(PoliceModeLabel(d) == label);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The committed seeds (fuzz/corpus/cluster) are inputs for the calls on
    // `in` as they stand, in their order: the provider takes the texts from
    // the front and the choices from the back, so a call added among them
    // would hand every later one other bytes. A new input is consumed after
    // every existing call, and gets only what they leave over (0 when
    // nothing is left), so that the seeds keep their bytes and their
    // meaning.
    FuzzedDataProvider in(data, size);
    Defines d;
    try {
        if (in.ConsumeBool()) {
            identification(d, in);
        } else {
            policeRead(d, in);
        }
    } catch (const ConversionOverflow&) {
    }
    return 0;
}
