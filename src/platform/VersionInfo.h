#pragma once

#include <QString>

namespace tavrin {

// The ProductName entry of the running program's version information, which
// Windows' Explorer shows too; builtIn where the program carries none, or it
// cannot be read. Linux programs carry no version information: there it is
// always builtIn.
QString ProgramProductName(const QString& builtIn);

// The ProductName entry of a program or library file's version information;
// empty when the file has none, has no such entry or cannot be read (always
// on Linux).
QString ProductNameOf(const QString& filePath);

}  // namespace tavrin
