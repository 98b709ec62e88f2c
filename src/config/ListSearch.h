#pragma once

#include <QString>

class QListWidget;

namespace tavrin {

// Zero-based index of the first item whose text begins with text, ignoring
// case; -1 if none does.
int FindListItem(const QString& text, const QListWidget* list);

}  // namespace tavrin
