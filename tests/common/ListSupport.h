#pragma once

// Reading and choosing entries of the dialogs' lists as a user would.

#include <QListWidget>
#include <QStringList>
#include <QTest>

namespace tavrin::test {

inline QStringList items(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}

// The COM ports a Setup port list offers: every entry but the Wi-Fi
// adapter, which is always offered, last.
inline QStringList comItems(const QListWidget* list) {
    QStringList out = items(list);
    if (!out.isEmpty() && out.last() == QLatin1String("Wi-Fi adapter")) out.removeLast();
    return out;
}

// The selected entry's text; empty when nothing is selected.
inline QString selected(const QListWidget* list) {
    const auto chosen = list->selectedItems();
    return chosen.isEmpty() ? QString() : chosen.first()->text();
}

inline void choose(QListWidget* list, const QString& text) {
    const auto found = list->findItems(text, Qt::MatchExactly);
    QVERIFY2(found.size() == 1, qPrintable(text));
    list->setCurrentItem(found.first());
}

}  // namespace tavrin::test
