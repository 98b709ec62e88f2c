#pragma once

#include <QString>

namespace tavrin {

enum class MessageIcon { Critical, Warning, Information };

// Who reads what the program says: a person at its window, or at a terminal,
// where advice names the command's options instead of the dialogs.
enum class Audience { Window, Terminal };

// One thing the user must be told, as a message box shows it.
struct Message {
    QString text;
    QString title;
    MessageIcon icon = MessageIcon::Critical;
    // Shown under the text as informative detail (may be empty).
    QString detail;
};

}  // namespace tavrin
