#pragma once

#include <QIODevice>
#include <memory>

namespace tavrin {

// A descriptor of the C runtime open for writing (1 standard output, 2
// standard error) as a device for UTF-8 text, so that what is written reads
// right wherever the stream leads. A file or a pipe gets the UTF-8 itself
// (on Windows with CR LF line ends, as Windows' editors expect). A Windows
// console gets characters, not bytes (WriteConsoleW), so it shows "→" and
// "—" whatever its code page, and nothing of the console's settings is
// changed. Unbuffered: what is written is out when write() returns. A stream
// that leads nowhere takes everything and keeps nothing.
std::unique_ptr<QIODevice> OpenTextOutput(int fd);

// Whether fd leads anywhere. A Windows window program started without a
// console and without a redirection has no standard output or error.
bool TextOutputConnected(int fd);

}  // namespace tavrin
