#include "SimConfig.h"

#include <array>
#include <utility>

namespace tavrin::sim {

namespace {

const std::array<std::pair<Fault, const char*>, 18> kFaults = {{
    {Fault::None, "None"},
    {Fault::Silence, "Silence"},
    {Fault::ResetWithoutElm, "ResetWithoutElm"},
    {Fault::NoData, "NoData"},
    {Fault::NegativeRead, "NegativeRead"},
    {Fault::NegativeWrite, "NegativeWrite"},
    {Fault::ResponsePending, "ResponsePending"},
    {Fault::Pieces, "Pieces"},
    {Fault::Garbage, "Garbage"},
    {Fault::DisconnectMidAnswer, "DisconnectMidAnswer"},
    {Fault::WriteNotApplied, "WriteNotApplied"},
    {Fault::LineFeedAfterPrompt, "LineFeedAfterPrompt"},
    {Fault::TruncatedRecord, "TruncatedRecord"},
    {Fault::InterruptOnInput, "InterruptOnInput"},
    {Fault::AlwaysStopped, "AlwaysStopped"},
    {Fault::NulBytes, "NulBytes"},
    {Fault::Glitch, "Glitch"},
    {Fault::Unformatted, "Unformatted"},
}};

// "reset-without-elm", "RESET_WITHOUT_ELM" and "ResetWithoutElm" all name the
// same fault on a command line.
QString folded(const QString& name) {
    QString out = name.toLower();
    out.remove(QLatin1Char('-'));
    out.remove(QLatin1Char('_'));
    out.remove(QLatin1Char(' '));
    return out;
}

}  // namespace

Fault faultFromName(const QString& name, bool* ok) {
    const QString wanted = folded(name);
    for (const auto& [fault, text] : kFaults) {
        if (folded(QLatin1String(text)) == wanted) {
            if (ok) *ok = true;
            return fault;
        }
    }
    if (ok) *ok = false;
    return Fault::None;
}

QString faultName(Fault fault) {
    for (const auto& [f, text] : kFaults) {
        if (f == fault) return QLatin1String(text);
    }
    return QString();
}

QStringList faultNames() {
    QStringList names;
    for (const auto& entry : kFaults) names << QLatin1String(entry.second);
    return names;
}

}  // namespace tavrin::sim
