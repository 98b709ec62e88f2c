#pragma once

#include <QString>

class QFileDevice;

namespace tavrin {

// Puts what was written to file on the disk itself, not only in the system's
// cache; false when that failed.
bool SyncToDisk(QFileDevice& file);

// The per-user folder the program keeps its files in when its own folder
// cannot be written: ~/.config/Tavrin on Linux, %APPDATA%\Tavrin on Windows.
QString UserConfigFolder();

// Whether a window can be shown at all; Qt would abort in its platform plugin
// where it cannot.
bool DisplayAvailable();

}  // namespace tavrin
