// Runs every test class registered in this executable, one after another,
// and fails if any of them fails.
#include <QApplication>
#include <QTest>

#include "TestSupport.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    int failures = 0;
    for (const auto& entry : tavrin::test::registry()) {
        std::unique_ptr<QObject> suite(entry.make());
        failures += QTest::qExec(suite.get(), argc, argv) != 0 ? 1 : 0;
    }
    return failures == 0 ? 0 : 1;
}
