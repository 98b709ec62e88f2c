// A line lost at any point of Connect or of a change: in a wait for an
// answer or in a fixed pause between commands, the operation ends with the
// words for a lost port, sends nothing more, and records what fits.
#include <QDir>
#include <QtTest>

#include "SimRig.h"

using namespace tavrin;
using namespace tavrin::test;

namespace {

enum class During { Connect, Change };

}  // namespace

Q_DECLARE_METATYPE(During)

class SessionLineLostTest : public QObject {
    Q_OBJECT

private slots:
    void lostLineIsAlwaysSaid_data() {
        QTest::addColumn<During>("during");
        QTest::addColumn<QString>("command");  // the loss follows this request...
        QTest::addColumn<int>("nth");          // ...the nth time it comes in the operation
        QTest::addColumn<int>("afterMs");      // ...by so long (answers take 50 ms)
        QTest::addColumn<int>("writes");       // writes the cluster saw
        QTest::addColumn<bool>("recorded");    // the change has a history line "port lost"

        const auto connectRow = [](const char* name, const char* command, int afterMs) {
            QTest::newRow(name) << During::Connect << QString(command) << 1 << afterMs << 0
                                << false;
        };
        connectRow("connect: the reset", "atz", 10);
        connectRow("connect: a set-up command", "atspa6", 10);
        connectRow("connect: the pause before the identification", "ath1", 200);
        connectRow("connect: an identification request", "22e217", 10);
        connectRow("connect: the pause between identification requests", "22e217", 200);
        connectRow("connect: the pause before the police-mode read", "22e200", 200);
        connectRow("connect: the police-mode read", "2103", 10);

        QTest::newRow("change: the read") << During::Change << "2103" << 1 << 10 << 0 << false;
        QTest::newRow("change: the pause before the write")
            << During::Change << "2103" << 1 << 200 << 0 << false;
        QTest::newRow("change: the write") << During::Change << "3b034812" << 1 << 10 << 1 << true;
        QTest::newRow("change: the pause after the write")
            << During::Change << "3b034812" << 1 << 200 << 1 << true;
        QTest::newRow("change: the read back") << During::Change << "2103" << 2 << 10 << 1 << true;
    }

    void lostLineIsAlwaysSaid() {
        QFETCH(During, during);
        QFETCH(QString, command);
        QFETCH(int, nth);
        QFETCH(int, afterMs);
        QFETCH(int, writes);
        QFETCH(bool, recorded);

        sim::SimConfig config;
        config.answerDelayMs = 50;
        SessionRig rig(config);
        if (during == During::Change) QVERIFY(rig.connect().ok());
        rig.sim.clearLog();
        rig.events.clear();
        int seen = 0;
        qint64 lostAtMs = -1;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line == command && ++seen == nth)
                rig.host.vclock().after(afterMs, [&] {
                    lostAtMs = rig.host.clock().nowMs();
                    rig.sim.stop();
                });
        });

        const SessionReport report =
            during == During::Connect ? rig.connect() : SessionReport(rig.change());

        QVERIFY2(lostAtMs >= 0, "the loss never came");
        // Heard at once, whatever was waiting: a pause does not run out first.
        QVERIFY(rig.host.clock().nowMs() - lostAtMs < 50);
        QVERIFY(!report.ok());
        // Said once, by the operation, in the words for a lost port.
        QCOMPARE(report.messages.size(), 1);
        const Message& m = report.messages.first();
        QVERIFY2(m.text.contains("lost") && m.detail.contains("Plug"),
                 qPrintable(m.text + " / " + m.detail));
        QCOMPARE(rig.eventsOf("lost"), QStringList{});
        QCOMPARE(rig.writes().size(), writes);
        QCOMPARE(rig.ops->state(), Operations::State::Idle);

        const QByteArray history = readFile(rig.session->historyPath());
        QCOMPARE(history.contains("port lost"), recorded);
        if (!recorded) QVERIFY(!history.contains(",before,"));
    }
};

TAVRIN_TEST(SessionLineLostTest)
#include "SessionLineLostTest.moc"
