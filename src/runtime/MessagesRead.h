#pragma once

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QWidget>

#include "runtime/Clock.h"

namespace tavrin {

// Suspends until every message box the host has shown for parent has been
// answered, or parent has gone: the last word of an operation is read
// before its window goes.
QCoro::Task<void> UntilMessagesRead(Clock& clock, QPointer<QWidget> parent);

}  // namespace tavrin
