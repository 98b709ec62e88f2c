#include "runtime/MessagesRead.h"

#include <QDialog>

#include "runtime/Host.h"
#include "runtime/Wait.h"

namespace tavrin {

QCoro::Task<void> UntilMessagesRead(Clock& clock, QPointer<QWidget> parent) {
    while (parent) {
        const QList<QDialog*> open = Host::unansweredMessages(parent);
        if (open.isEmpty()) co_return;
        Wait wait(clock);
        wait.wakeOn(open.first(), &QDialog::finished);
        wait.wakeOn(open.first(), &QObject::destroyed);
        co_await wait.upTo(kNoLimitMs);
    }
}

}  // namespace tavrin
