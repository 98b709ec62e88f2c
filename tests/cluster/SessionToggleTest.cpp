// The police-mode write and every safety rule around it, run by the cluster
// session alone: the simulator's own log of what arrived is the judge.
#include <QTest>

#include "SimRig.h"

using namespace tavrin;
using namespace tavrin::test;
using tavrin::sim::Fault;

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray b;
    for (int v : values) b.append(char(v));
    return b;
}

}  // namespace

class SessionToggleTest : public QObject {
    Q_OBJECT

private slots:
    void workedExamplesPutExactlyTheseBytesOnTheWire_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("4C 12") << bytes({0x4C, 0x12}) << "3b034812"
                               << "ON"
                               << "OFF";
        QTest::newRow("48 12") << bytes({0x48, 0x12}) << "3b034c12"
                               << "OFF"
                               << "ON";
        QTest::newRow("AB CD") << bytes({0xAB, 0xCD}) << "3b03afcd"
                               << "OFF"
                               << "ON";
        QTest::newRow("one byte 04") << bytes({0x04}) << "3b0300"
                                     << "ON"
                                     << "OFF";
        QTest::newRow("one byte 00") << bytes({0x00}) << "3b0304"
                                     << "OFF"
                                     << "ON";
    }
    void workedExamplesPutExactlyTheseBytesOnTheWire() {
        QFETCH(QByteArray, record);
        QFETCH(QString, request);
        QFETCH(QString, before);
        QFETCH(QString, after);
        sim::SimConfig config;
        config.record = record;
        SessionRig rig(config);
        QVERIFY(rig.connect().ok());
        QCOMPARE(rig.eventsOf("police"), QStringList{before});
        rig.sim.clearLog();
        rig.events.clear();
        const PoliceReport report = rig.change();
        QVERIFY2(report.ok(), qPrintable(texts(report.messages).join(" | ")));
        QCOMPARE(report.change, PoliceChange::Written);
        QCOMPARE(report.before, before);
        QCOMPARE(rig.sim.receivedBytes(),
                 QByteArray("2103\r\n") + request.toLatin1() + "\r\n2103\r\n");
        // Only the read after the write is shown.
        QCOMPARE(rig.eventsOf("police"), QStringList{after});
        QCOMPARE(gapsMs(rig.sim), (QList<qint64>{500, 500}));
        QVERIFY(rig.connected());
    }

    void toggleTwiceGoesBackAndForth() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        QVERIFY(rig.change().ok());
        QVERIFY(rig.change().ok());
        QCOMPARE(rig.eventsOf("police"), (QStringList{"ON", "OFF", "ON"}));
        QCOMPARE(rig.writes(), (QStringList{"3b034812", "3b034c12"}));
        QCOMPARE(rig.sim.record(), bytes({0x4C, 0x12}));
    }

    void setPoliceModeWritesOnlyWhenNeeded_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<bool>("on");
        QTest::addColumn<QStringList>("writes");
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("shown");
        QTest::newRow("ON wanted off") << bytes({0x4C, 0x12}) << false << QStringList{"3b034812"}
                                       << int(PoliceChange::Written) << "OFF";
        QTest::newRow("ON wanted on")
            << bytes({0x4C, 0x12}) << true << QStringList{} << int(PoliceChange::AlreadySo) << "ON";
        QTest::newRow("OFF wanted on")
            << bytes({0x00}) << true << QStringList{"3b0304"} << int(PoliceChange::Written) << "ON";
        QTest::newRow("OFF wanted off")
            << bytes({0x00}) << false << QStringList{} << int(PoliceChange::AlreadySo) << "OFF";
    }
    void setPoliceModeWritesOnlyWhenNeeded() {
        QFETCH(QByteArray, record);
        QFETCH(bool, on);
        QFETCH(QStringList, writes);
        QFETCH(int, change);
        QFETCH(QString, shown);
        sim::SimConfig config;
        config.record = record;
        SessionRig rig(config);
        QVERIFY(rig.connect().ok());
        rig.events.clear();
        const PoliceReport report = rig.change(on);
        QVERIFY2(report.ok(), qPrintable(texts(report.messages).join(" | ")));
        QCOMPARE(int(report.change), change);
        QCOMPARE(rig.writes(), writes);
        QCOMPARE(rig.eventsOf("police"), QStringList{shown});
        // The state is read afresh either way; a write is read back.
        QCOMPARE(rig.eventsOf("sent").count("2103"), writes.isEmpty() ? 1 : 2);
    }

    // The read-validity check alone, with the independent recheck of the
    // request out of the way: no kind of invalid read may lead to a write.
    void nothingIsWrittenAfterAnInvalidRead_data() {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("headersOff");
        QTest::newRow("three-byte record (length 05)")
            << bytes({0x4C, 0x12, 0x00}) << int(Fault::None) << false;
        QTest::newRow("empty record (length 02)") << QByteArray() << int(Fault::None) << false;
        QTest::newRow("no length byte (headers off)")
            << bytes({0x4C, 0x12}) << int(Fault::None) << true;
        QTest::newRow("second byte cut off")
            << bytes({0x4C, 0x12}) << int(Fault::TruncatedRecord) << false;
        QTest::newRow("only byte cut off") << bytes({0x04}) << int(Fault::TruncatedRecord) << false;
    }
    void nothingIsWrittenAfterAnInvalidRead() {
        QFETCH(QByteArray, record);
        QFETCH(int, fault);
        QFETCH(bool, headersOff);
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        bool checkAsked = false;
        rig.session->setWriteCheck([&checkAsked](const QString&, const QString&) {
            checkAsked = true;
            return true;
        });
        if (headersOff)
            QVERIFY(rig.host.finish(rig.session->exchange().Ask("ath0", "OK\r", {})).ok());
        rig.sim.config().record = record;
        rig.sim.config().fault = Fault(fault);
        rig.sim.clearLog();
        const PoliceReport report = rig.change();
        QCOMPARE(rig.sim.requests(), QStringList{"2103"});
        QVERIFY(!checkAsked);
        QCOMPARE(report.change, PoliceChange::NotWritten);
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(report.messages.size(), 1);
        QVERIFY2(report.messages[0].text.contains("could not be read completely"),
                 qPrintable(report.messages[0].text));
        QVERIFY(rig.connected());

        // The same session writes once the read is valid again, so the rows
        // above failed for their read and not for some other reason.
        rig.sim.config().record = bytes({0x4C, 0x12});
        rig.sim.config().fault = Fault::None;
        if (headersOff)
            QVERIFY(rig.host.finish(rig.session->exchange().Ask("ath1", "OK\r", {})).ok());
        QVERIFY(rig.change().ok());
        QVERIFY(checkAsked);
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
    }

    void failedReadsWriteNothing_data() {
        QTest::addColumn<int>("fault");
        QTest::newRow("no data") << int(Fault::NoData);
        QTest::newRow("negative read") << int(Fault::NegativeRead);
        QTest::newRow("garbage") << int(Fault::Garbage);
        QTest::newRow("silence") << int(Fault::Silence);
    }
    void failedReadsWriteNothing() {
        QFETCH(int, fault);
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.config().fault = Fault(fault);
        rig.sim.config().faultCommand = "2103";
        const PoliceReport report = rig.change();
        QCOMPARE(rig.writes(), QStringList{});
        QCOMPARE(report.change, PoliceChange::NotWritten);
        QCOMPARE(report.messages.size(), 1);
        QVERIFY2(report.messages[0].text.contains("could not be read, so nothing was written"),
                 qPrintable(report.messages[0].text));
    }

    void theRecheckStopsAWriteTheBitTableGotWrong() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        // A check that disagrees with whatever was built stands for a bit
        // table that changed more than the police-mode bit.
        QString seenRecord;
        QString seenRequest;
        rig.session->setWriteCheck([&](const QString& record, const QString& request) {
            seenRecord = record;
            seenRequest = request;
            return false;
        });
        rig.sim.clearLog();
        const PoliceReport report = rig.change();
        QCOMPARE(seenRecord, QString("4C12"));
        QCOMPARE(seenRequest, QString("3b034812"));
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "2103"}));
        QCOMPARE(report.change, PoliceChange::NotWritten);
        QCOMPARE(texts(report.messages),
                 QStringList{"The change was not written: the record to write did not match "
                             "the record read."});
    }

    void refusedWriteIsExplainedAndReRead_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("meaning");
        QTest::newRow("11") << 0x11 << "service not supported";
        QTest::newRow("12") << 0x12 << "sub-function not supported or invalid format";
        QTest::newRow("13") << 0x13 << "incorrect message length";
        QTest::newRow("22") << 0x22 << "conditions not correct";
        QTest::newRow("31") << 0x31 << "request out of range";
        QTest::newRow("33") << 0x33 << "security access denied";
        QTest::newRow("72") << 0x72 << "programming failure";
    }
    void refusedWriteIsExplainedAndReRead() {
        QFETCH(int, code);
        QFETCH(QString, meaning);
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.config().fault = Fault::NegativeWrite;
        rig.sim.config().negativeCode = code;
        rig.sim.clearLog();
        rig.events.clear();
        const PoliceReport report = rig.change();
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "3b034812", "2103"}));
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(report.messages.size(), 1);
        const QString text = report.messages[0].text;
        QVERIFY2(text.contains("refused the change"), qPrintable(text));
        QVERIFY2(text.contains(meaning), qPrintable(text));
        QCOMPARE(rig.eventsOf("police"), QStringList{"ON"});
        QVERIFY(rig.connected());
    }

    void unansweredWriteEndsAtTheTimeLimit() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.config().fault = Fault::Silence;
        rig.sim.config().faultCommand = "3b03";
        rig.sim.clearLog();
        const qint64 start = rig.host.vclock().nowMs();
        const PoliceReport report = rig.change();
        // The read, the pause, ten seconds of silence, the pause, the read.
        QCOMPARE(rig.host.vclock().nowMs() - start, 500 + 10000 + 500);
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "3b034812", "2103"}));
        QCOMPARE(report.change, PoliceChange::Written);
        QCOMPARE(report.messages.size(), 1);
        QVERIFY(report.messages[0].text.contains("did not answer"));
    }

    void acknowledgedButNotAppliedIsTold() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.config().fault = Fault::WriteNotApplied;
        const PoliceReport report = rig.change();
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
        QCOMPARE(report.status, SessionStatus::Failed);
        QCOMPARE(report.messages.size(), 1);
        QVERIFY(report.messages[0].text.contains("did not apply"));
        QCOMPARE(rig.eventsOf("police"), (QStringList{"ON", "ON"}));
    }

    void cancelBeforeTheWriteWritesNothing() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.clearLog();
        // In the pause between the read and the write.
        rig.host.vclock().after(250, [&] { QVERIFY(rig.ops->cancel()); });
        const PoliceReport report = rig.change();
        QCOMPARE(report.status, SessionStatus::Cancelled);
        QCOMPARE(report.change, PoliceChange::NotWritten);
        QCOMPARE(rig.sim.requests(), QStringList{"2103"});
        QVERIFY(!QFile::exists(rig.session->historyPath()));
        QVERIFY(!rig.connected());
    }

    // A late answer to an earlier request arriving around the read could be
    // what the read took for the record: then nothing is written.
    void moreThanTheReadsAnswerStopsTheWrite() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.clearLog();
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line == "2103" && rig.sim.requests().size() == 1)
                rig.sim.say("2103\r728 04 61 03 0F 0F \r\r>", 100);
        });
        const PoliceReport report = rig.change();
        QCOMPARE(rig.writes(), QStringList{});
        QCOMPARE(report.change, PoliceChange::NotWritten);
        QCOMPARE(texts(report.messages),
                 QStringList{"The adapter sent more than the answer to the read, so nothing was "
                             "written to the cluster."});
        QVERIFY(rig.connected());
    }

    void noCancelFromTheWriteOn() {
        sim::SimConfig config;
        config.answerDelayMs = 100;
        SessionRig rig(config);
        QVERIFY(rig.connect().ok());
        bool refused = false;
        QObject::connect(&rig.sim, &sim::SimCore::requestReceived, [&](const QString& line) {
            if (line.startsWith("3b")) refused = !rig.ops->cancel();
        });
        QVERIFY(rig.change().ok());
        QVERIFY(refused);
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
    }

    void withoutClusterReadyNothingIsWritten() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.d.ClusterReady = false;
        rig.sim.clearLog();
        const PoliceReport report = rig.change();
        QCOMPARE(rig.sim.requests(), (QStringList{"2103", "2103"}));
        QCOMPARE(report.change, PoliceChange::NotWritten);
        QVERIFY(!report.ok());
        // Refused in words, never in silence.
        QCOMPARE(report.messages.size(), 1);
        QVERIFY(report.messages.first().text.contains("not identified"));
    }

    void lostPortDuringTheWriteIsNotReadAgain() {
        SessionRig rig;
        QVERIFY(rig.connect().ok());
        rig.sim.config().fault = Fault::DisconnectMidAnswer;
        rig.sim.config().faultCommand = "3b03";
        rig.events.clear();
        const PoliceReport report = rig.change();
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
        QCOMPARE(report.messages.size(), 1);
        QVERIFY2(report.messages[0].text.contains("lost"), qPrintable(report.messages[0].text));
        QVERIFY(!rig.connected());
        QVERIFY(rig.events.contains("closed"));
        // The loss is told once, by the operation, not again as a port event.
        QCOMPARE(rig.eventsOf("lost"), QStringList{});
        // The setting read before the write is no longer known to hold.
        QCOMPARE(rig.eventsOf("police"), QStringList{"unknown"});
    }
};

TAVRIN_TEST(SessionToggleTest)
#include "SessionToggleTest.moc"
