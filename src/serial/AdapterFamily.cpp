#include "serial/AdapterFamily.h"

#include <QRegularExpression>

namespace tavrin {

namespace {

struct Caution {
    const char* version;  // after "ELM327 v"
    const char* words;
};
// The versions clones are known by. The ELM327's own releases run 1.0 to
// 1.4b and 2.0 to 2.3, but never had a 1.5; 2.1 is the clones' favourite.
constexpr Caution kCautions[] = {
    {"1.5",
     "calls itself v1.5, a version the ELM327 never had: a clone; if it drops commands, try "
     "38400 bit/s"},
    {"2.1",
     "calls itself v2.1, as many clones that know only the basic commands do; if it refuses a "
     "set-up command, a genuine ELM327-type adapter is needed"},
};

}  // namespace

QString AdapterCaution(const QString& banner, const QString& chip) {
    // A chip that names itself is what it says, whatever its banner copies.
    if (!chip.isEmpty()) return {};
    static const QRegularExpression version(QStringLiteral("ELM327 v(\\S+)"));
    const QRegularExpressionMatch m = version.match(banner);
    if (!m.hasMatch()) return {};
    for (const Caution& c : kCautions) {
        if (m.captured(1) == QLatin1String(c.version)) return QLatin1String(c.words);
    }
    return {};
}

QString AdapterSelfName(const QString& banner, const QString& chip) {
    return chip.isEmpty() ? banner : QStringLiteral("%1 (%2)").arg(banner, chip);
}

}  // namespace tavrin
