// Adapters that take the line feed behind a command as an interrupt: the
// session falls back to a carriage return alone, once per connection, and
// the bytes on the wire show exactly when.
#include <QTest>

#include "SimRig.h"
#include "runtime/AdapterLog.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

const QByteArray kSetUp = "atz\r\natcaf1\r\natspa6\r\natsh720\r\nath1\r\n";

QStringList notes(const AdapterLog& log) {
    QStringList out;
    for (const auto& e : log.entries())
        if (e.direction == AdapterLog::Direction::Note) out << QString::fromUtf8(e.bytes);
    return out;
}

}  // namespace

class SessionLineEndTest : public QObject {
    Q_OBJECT

private slots:
    void connectFallsBackAtTheFirstStoppedRequest() {
        sim::SimConfig config;
        config.fault = Fault::InterruptOnInput;
        SessionRig rig(config);
        const SessionReport report = rig.connect();
        QVERIFY2(report.ok(), qPrintable(texts(report.messages).join(" | ")));
        QVERIFY(report.messages.isEmpty());
        QCOMPARE(rig.sim.receivedBytes(),
                 kSetUp + "22e21a\r\n22e21a\r22e217\r22e219\r22e200\r2103\r");
        QCOMPARE(rig.eventsOf("part"), QStringList{"3R23-123-FB"});
        QCOMPARE(rig.eventsOf("police"), QStringList{"ON"});
        // Told in the log only.
        QCOMPARE(notes(rig.host.adapterLog()).size(), 1);
        QVERIFY(notes(rig.host.adapterLog())[0].contains("carriage return alone"));

        // The toggle goes on with the carriage return alone: one write.
        rig.sim.clearLog();
        QVERIFY(rig.change().ok());
        QCOMPARE(rig.sim.receivedBytes(), QByteArray("2103\r3b034812\r2103\r"));
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
        QCOMPARE(rig.sim.record(), QByteArray::fromHex("4812"));
        QCOMPARE(rig.eventsOf("police"), (QStringList{"ON", "OFF"}));
    }

    void theNextConnectionStartsWithCrLfAgain() {
        sim::SimConfig config;
        config.fault = Fault::InterruptOnInput;
        SessionRig rig(config);
        QVERIFY(rig.connect().ok());
        rig.session->Disconnect();
        QCOMPARE(rig.session->exchange().lineEnd(), QByteArray("\r\n"));
        rig.sim.clearLog();
        QVERIFY(rig.connect().ok());
        QCOMPARE(rig.sim.receivedBytes(),
                 kSetUp + "22e21a\r\n22e21a\r22e217\r22e219\r22e200\r2103\r");
        QCOMPARE(notes(rig.host.adapterLog()).size(), 2);
    }

    void aStoppedWriteIsSentOnceMoreWithEveryCheck_data() {
        QTest::addColumn<bool>("resendRefused");
        QTest::newRow("the resend acknowledged") << false;
        // The stopped write reached the cluster; the read back, not the
        // refusal, tells what happened.
        QTest::newRow("the resend refused") << true;
    }
    void aStoppedWriteIsSentOnceMoreWithEveryCheck() {
        QFETCH(bool, resendRefused);
        sim::SimConfig config;
        config.fault = Fault::InterruptOnInput;
        config.faultCommand = "3b03";
        SessionRig rig(config);
        QVERIFY(rig.connect().ok());
        QCOMPARE(rig.sim.receivedBytes(), kConnectBytes);
        rig.sim.clearLog();
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (!resendRefused || !line.startsWith("3b")) return;
            // Once the line feed behind the first write has stopped it.
            rig.host.vclock().after(0, [&] { rig.sim.config().fault = Fault::NegativeWrite; });
        });
        const PoliceReport report = rig.change();
        QVERIFY2(report.ok(), qPrintable(texts(report.messages).join(" | ")));
        // The same request again, ended by the carriage return alone, then
        // the read back.
        QCOMPARE(rig.sim.receivedBytes(), QByteArray("2103\r\n3b034812\r\n3b034812\r2103\r"));
        QCOMPARE(rig.sim.record(), QByteArray::fromHex("4812"));
        QCOMPARE(rig.eventsOf("police"), (QStringList{"ON", "OFF"}));
        // One change, one pair of history lines.
        const QByteArray history = readFile(rig.session->historyPath());
        QCOMPARE(history.count("\r\n"), 3);
        QVERIFY(history.contains(",after,4812,3b034812,applied (sent again after STOPPED)\r\n"));
    }

    void anAdapterThatAlwaysStopsIsToldInWords() {
        sim::SimConfig config;
        config.fault = Fault::AlwaysStopped;
        SessionRig rig(config);
        const SessionReport report = rig.connect();
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(rig.sim.receivedBytes(), kSetUp + "22e21a\r\n22e21a\r");
        QCOMPARE(report.messages.size(), 1);
        const Message& m = report.messages[0];
        QVERIFY2(m.text.contains("interrupted the request"), qPrintable(m.text));
        QVERIFY2(m.detail.contains("another program") && !m.detail.contains("ignition"),
                 qPrintable(m.detail));
        QVERIFY(!rig.session->port().PortOpen());
        QCOMPARE(rig.session->exchange().lineEnd(), QByteArray("\r\n"));
    }
};

TAVRIN_TEST(SessionLineEndTest)
#include "SessionLineEndTest.moc"
