#pragma once

#include <QString>
#include <QStringList>

#include "SimConfig.h"

namespace tavrin::sim {

// Adapters as they are sold, each a named set of the simulator's settings:
// its identification, what it lacks, its speed, when its prompt comes and
// what it does with a character that arrives before it.
QStringList adapterFamilyNames();
// Sets what makes the family on top of config; false for a name that is
// none (config is then unchanged). The name may be in any letter case.
bool applyAdapterFamily(const QString& name, SimConfig* config);

}  // namespace tavrin::sim
