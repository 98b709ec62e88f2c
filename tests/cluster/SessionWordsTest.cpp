// What the user is told when something goes wrong: each kind of failure, in
// words, with what to do, and the system's own text only as a detail.
#include <QTest>

#include "SimRig.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

class SessionWordsTest : public QObject {
    Q_OBJECT

private slots:
    void failuresAreToldInWords_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("faultCommand");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("unsupported");
        QTest::addColumn<bool>("atToggle");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("detail");
        const QStringList none;
        QTest::newRow("unplugged") << int(Fault::DisconnectMidAnswer) << "22e21a" << 0 << none
                                   << false << "the connection to the adapter was lost"
                                   << "unplugged, lost power, or its Bluetooth link dropped";
        QTest::newRow("no answer in time")
            << int(Fault::Silence) << "22e217" << 0 << none << false << "did not answer in time"
            << "cable and that the ignition is on";
        QTest::newRow("clone lacks a command")
            << int(Fault::None) << "" << 0 << QStringList{"atsh720"} << false
            << "does not know this command (it answered \"?\")"
            << "clones lack commands";
        QTest::newRow("nothing on the bus") << int(Fault::NoData) << "22e21a" << 0 << none << false
                                            << "nothing on the car's bus answered"
                                            << "ignition is on";
        QTest::newRow("unexpected answer") << int(Fault::Garbage) << "22e219" << 0 << none << false
                                           << "instead of the expected text"
                                           << "did not make sense";
        QTest::newRow("refused 12") << int(Fault::NegativeRead) << "22e21a" << 0x12 << none << false
                                    << "code 12 (sub-function not supported"
                                    << "not one of the supported cars";
        QTest::newRow("refused 13") << int(Fault::NegativeRead) << "22e21a" << 0x13 << none << false
                                    << "code 13 (incorrect message length)"
                                    << "length this program does not expect";
        QTest::newRow("refused 22") << int(Fault::NegativeRead) << "22e21a" << 0x22 << none << false
                                    << "code 22 (conditions not correct)"
                                    << "ignition on with the engine off";
        QTest::newRow("refused 31") << int(Fault::NegativeRead) << "22e21a" << 0x31 << none << false
                                    << "code 31 (request out of range)"
                                    << "not one of the supported cars";
        QTest::newRow("refused 33") << int(Fault::NegativeWrite) << "3b03" << 0x33 << none << true
                                    << "code 33 (security access denied)"
                                    << "locked against changes";
        QTest::newRow("refused 72") << int(Fault::NegativeWrite) << "3b03" << 0x72 << none << true
                                    << "code 72 (programming failure)"
                                    << "could not store the change";
        QTest::newRow("more time, then nothing")
            << int(Fault::ResponsePending) << "22e21a" << 0 << none << false
            << "asked for more time but then did not answer"
            << "cable";
        QTest::newRow("write unconfirmed")
            << int(Fault::Silence) << "3b03" << 0 << none << true << "did not confirm the change"
            << "now reads ON, as read back";
        QTest::newRow("write, port lost") << int(Fault::DisconnectMidAnswer) << "3b03" << 0 << none
                                          << true << "lost during the change; it may or may not"
                                          << "System message";
    }
    void failuresAreToldInWords() {
        QFETCH(int, fault);
        QFETCH(QString, faultCommand);
        QFETCH(int, code);
        QFETCH(QStringList, unsupported);
        QFETCH(bool, atToggle);
        QFETCH(QString, text);
        QFETCH(QString, detail);
        sim::SimConfig config;
        config.unsupported = unsupported;
        config.pendingCount = 1000;  // a cluster that never stops asking for time
        SessionRig rig(config);
        if (atToggle) QVERIFY(rig.connect().ok());
        rig.sim.config().fault = Fault(fault);
        rig.sim.config().faultCommand = faultCommand;
        rig.sim.config().negativeCode = code;
        const QList<Message> messages = atToggle ? rig.change().messages : rig.connect().messages;
        QCOMPARE(messages.size(), 1);
        const Message& m = messages[0];
        QVERIFY2(m.text.contains(text, Qt::CaseInsensitive), qPrintable(m.text));
        QVERIFY2(m.detail.contains(detail), qPrintable(m.detail));
        // The system's words never stand in for the message itself.
        QVERIFY2(!m.text.contains("ioctl") && !m.text.contains("Input/output"), qPrintable(m.text));
    }

    void wrongLineSpeedIsNamedBeforeTheWatchdog_data() {
        QTest::addColumn<int>("adapterSpeed");
        QTest::addColumn<QString>("ourSpeed");
        QTest::addColumn<Lines>("lines");
        QTest::newRow("adapter 115200, settings 38400") << 115200 << "38400" << Lines::Memory;
        QTest::newRow("adapter 38400, settings 9600") << 38400 << "9600" << Lines::Memory;
        QTest::newRow("adapter 9600, settings 115200") << 9600 << "115200" << Lines::Memory;
        // The speed a real port was set to, as the far end sees it.
        if (test::kRealLines) QTest::newRow("pseudo-terminal") << 115200 << "38400" << Lines::Real;
    }
    void wrongLineSpeedIsNamedBeforeTheWatchdog() {
        QFETCH(int, adapterSpeed);
        QFETCH(QString, ourSpeed);
        QFETCH(Lines, lines);
        sim::SimConfig config;
        config.adapterSpeed = adapterSpeed;
        SessionRig rig(config, 3, ourSpeed, lines);
        const qint64 start = rig.host.clock().nowMs();
        const SessionReport report = rig.connect();
        const qint64 took = rig.host.clock().nowMs() - start;
        QVERIFY2(took < 3000, qPrintable(QString::number(took)));
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(texts(report.messages),
                 QStringList{"The adapter's answers could not be read: the line speed is "
                             "probably wrong."});
        QVERIFY2(report.messages[0].detail.contains("COM3 is set to " + ourSpeed + " bit/s") &&
                     report.messages[0].detail.contains("Find Adapter"),
                 qPrintable(report.messages[0].detail));
        // No unreadable noise shown as the adapter's name (a prompt amid a
        // few printable bytes of noise passes for a moment, and the end of
        // the attempt clears it), and no watchdog.
        for (const QString& name : rig.eventsOf("adapter"))
            QVERIFY(std::none_of(name.begin(), name.end(), IsUnreadableChar));
        QCOMPARE(rig.eventsOf("watchdog"), QStringList{});
        QVERIFY(!rig.session->port().PortOpen());

        // At the adapter's own speed the same adapter connects.
        if (lines == Lines::Real) return;
        rig.d.ComSpeed = QString::number(adapterSpeed);
        QVERIFY(rig.connect().ok());
    }

    void portLostWhileIdleIsToldInWords() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        QList<Message> lost;
        QObject::connect(rig.ops.get(), &Operations::portLost,
                         [&lost](const Message& m) { lost << m; });
        rig.sim.stop();
        QVERIFY(rig.host.waitUntil([&] { return !lost.isEmpty(); }, 3000));
        QCOMPARE(lost.size(), 1);
        QVERIFY2(lost[0].text.contains("unplugged, lost power"), qPrintable(lost[0].text));
        QVERIFY2(lost[0].detail.startsWith("Plug it in again"), qPrintable(lost[0].detail));
    }
};

TAVRIN_TEST(SessionWordsTest)
#include "SessionWordsTest.moc"
