#include "AdapterFamilies.h"

namespace tavrin::sim {

namespace {

// How long a genuine chip takes over its reset.
constexpr int kGenuineResetMs = 1000;
// An adapter that waits a while for more frames before its prompt.
constexpr int kLatePromptMs = 30;

void genuine(SimConfig& c, const char* version) {
    c.identification = QLatin1String(version);
    c.resetDelayMs = kGenuineResetMs;
    // The chip stops a request on any character, as its data sheet says.
    c.fault = Fault::InterruptOnInput;
}

void noCar(SimConfig& c, const char* answer) {
    c.noBusAnswer = QLatin1String(answer);
}

struct Family {
    const char* name;
    void (*apply)(SimConfig&);
};

const Family kFamilies[] = {
    {"elm327-v1.4b", [](SimConfig& c) { genuine(c, "ELM327 v1.4b"); }},
    {"elm327-v2.3", [](SimConfig& c) { genuine(c, "ELM327 v2.3"); }},
    // PIC18F25K80 clones: a version the chip's maker never made, and a
    // stray byte as the reset begins.
    {"pic-clone",
     [](SimConfig& c) {
         c.identification = QStringLiteral("ELM327 v1.5");
         c.afterResetEcho = QByteArrayLiteral("\xFC");
     }},
    // The cheapest clones: only the basic commands, and deaf until their
    // late prompt is out.
    {"v2.1-clone",
     [](SimConfig& c) {
         c.identification = QStringLiteral("ELM327 v2.1");
         c.unsupported = QStringList{QStringLiteral("atat"),   QStringLiteral("atst"),
                                     QStringLiteral("atcsm"),  QStringLiteral("atfcsh"),
                                     QStringLiteral("atfcsd"), QStringLiteral("atfcsm"),
                                     QStringLiteral("atcra"),  QStringLiteral("atcfc")};
         c.promptDelayMs = kLatePromptMs;
         c.earlyInput = EarlyInput::Dropped;
     }},
    {"stn",
     [](SimConfig& c) {
         c.identification = QStringLiteral("ELM327 v1.3a");
         c.adapterSpeed = 115200;
         c.earlyInput = EarlyInput::Stops;
         c.stIdentification = QStringLiteral("STN1110 r4.2.1");
         c.stDevice = QStringLiteral("OBDLink SX r4.2.1");
     }},
    // Wi-Fi adapters built on an ESP32, to be reached over TCP.
    {"esp32-wifi",
     [](SimConfig& c) {
         c.identification = QStringLiteral("ELM327 v1.3");
         c.unsupported = QStringList{QStringLiteral("atcaf1"), QStringLiteral("atal"),
                                     QStringLiteral("atr0"), QStringLiteral("atcfc0")};
         c.promptDelayMs = kLatePromptMs;
     }},
    {"vlinker", [](SimConfig& c) { c.identification = QStringLiteral("ELM327 v2.2"); }},
    // A good adapter with the ignition off or no car: each says so its way.
    {"no-car", [](SimConfig& c) { noCar(c, "SEARCHING...\rUNABLE TO CONNECT"); }},
    {"no-car-can-error", [](SimConfig& c) { noCar(c, "CAN ERROR"); }},
    {"no-car-bus-init", [](SimConfig& c) { noCar(c, "BUS INIT: ...ERROR"); }},
    {"no-car-not-connected", [](SimConfig& c) { noCar(c, "NOT CONNECTED"); }},
};

}  // namespace

QStringList adapterFamilyNames() {
    QStringList names;
    for (const Family& f : kFamilies) names << QLatin1String(f.name);
    return names;
}

bool applyAdapterFamily(const QString& name, SimConfig* config) {
    for (const Family& f : kFamilies) {
        if (name.compare(QLatin1String(f.name), Qt::CaseInsensitive) == 0) {
            f.apply(*config);
            return true;
        }
    }
    return false;
}

}  // namespace tavrin::sim
