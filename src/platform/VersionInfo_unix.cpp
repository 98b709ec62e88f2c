#include "platform/VersionInfo.h"

namespace tavrin {

QString ProgramProductName(const QString& builtIn) {
    return builtIn;
}

QString ProductNameOf(const QString&) {
    return {};
}

}  // namespace tavrin
