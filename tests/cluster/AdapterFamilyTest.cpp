// The program against each family of adapters the simulator knows, on the
// line in memory (or over TCP for a Wi-Fi adapter) and virtual time: Connect
// and a change there and back, or a refusal that says what the adapter said;
// and an adapter whose prompt comes late and which is deaf until it does.
#include <QTest>

#include "AdapterFamilies.h"
#include "SimRig.h"

using namespace tavrin;
using namespace tavrin::test;

namespace {

// The history's lines without the header and each line's time stamp.
QStringList familyHistory(const QString& path) {
    QStringList lines = QString::fromUtf8(readFile(path)).split("\r\n", Qt::SkipEmptyParts);
    if (!lines.isEmpty()) lines.removeFirst();
    for (QString& line : lines) line = line.section(',', 1);
    return lines;
}

}  // namespace

class AdapterFamilyTest : public QObject {
    Q_OBJECT

private slots:
    void eachFamilyConnectsAndChangesOrSaysWhy_data() {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<bool>("wifi");
        QTest::addColumn<QString>("banner");
        QTest::addColumn<QString>("refusal");  // empty: Connect and the changes work
        QTest::newRow("elm327-v1.4b") << "elm327-v1.4b"
                                      << "38400" << false << "ELM327 v1.4b"
                                      << "";
        QTest::newRow("elm327-v2.3") << "elm327-v2.3"
                                     << "38400" << false << "ELM327 v2.3"
                                     << "";
        QTest::newRow("pic-clone") << "pic-clone"
                                   << "38400" << false << "ELM327 v1.5"
                                   << "";
        QTest::newRow("v2.1-clone") << "v2.1-clone"
                                    << "38400" << false << "ELM327 v2.1"
                                    << "";
        QTest::newRow("stn") << "stn"
                             << "115200" << false << "ELM327 v1.3a"
                             << "";
        QTest::newRow("esp32-wifi") << "esp32-wifi"
                                    << "" << true << "ELM327 v1.3"
                                    << "";
        QTest::newRow("vlinker") << "vlinker"
                                 << "38400" << false << "ELM327 v2.2"
                                 << "";
        QTest::newRow("no-car") << "no-car"
                                << "38400" << false << "ELM327 v1.5"
                                << "UNABLE TO CONNECT";
        QTest::newRow("no-car-can-error") << "no-car-can-error"
                                          << "38400" << false << "ELM327 v1.5"
                                          << "CAN ERROR";
        QTest::newRow("no-car-bus-init") << "no-car-bus-init"
                                         << "38400" << false << "ELM327 v1.5"
                                         << "BUS INIT: ...ERROR";
        QTest::newRow("no-car-not-connected") << "no-car-not-connected"
                                              << "38400" << false << "ELM327 v1.5"
                                              << "NOT CONNECTED";
    }
    void eachFamilyConnectsAndChangesOrSaysWhy() {
        QFETCH(QString, family);
        QFETCH(QString, speed);
        QFETCH(bool, wifi);
        QFETCH(QString, banner);
        QFETCH(QString, refusal);
        sim::SimConfig config;
        QVERIFY(sim::applyAdapterFamily(family, &config));
        SessionRig rig(wifi ? sim::SimConfig{} : config, 3, speed);
        sim::SimCore* adapter = &rig.sim;
        if (wifi) {
            sim::SimTcp& tcp = rig.host.addWifiSim(config);
            rig.d.Network = QStringLiteral("127.0.0.1:%1").arg(tcp.port());
            adapter = &tcp;
        }

        const SessionReport connected = rig.connect();
        QCOMPARE(rig.eventsOf("adapter"), QStringList{banner});
        if (!refusal.isEmpty()) {
            QCOMPARE(connected.status, SessionStatus::Failed);
            QCOMPARE(connected.messages.size(), 1);
            QVERIFY2(connected.messages[0].text.contains(refusal),
                     qPrintable(connected.messages[0].text));
            QVERIFY(!rig.connected());
            QCOMPARE(writesSeen(*adapter), QStringList{});
            return;
        }
        QVERIFY2(connected.ok(), qPrintable(texts(connected.messages).join(" | ")));
        for (const bool on : {false, true}) {
            const PoliceReport changed = rig.change(on);
            QVERIFY2(changed.ok(), qPrintable(texts(changed.messages).join(" | ")));
        }
        QCOMPARE(writesSeen(*adapter), (QStringList{"3b034812", "3b034c12"}));
        QCOMPARE(rig.eventsOf("police"), (QStringList{"ON", "OFF", "ON"}));
        QCOMPARE(adapter->record(), QByteArray::fromHex("4C12"));
        const QString at = (wifi ? "Wi-Fi " + rig.d.Network + "," : "COM3," + speed) +
                           ",3R23-123-FB,BA Fairmont Ghia,";
        QCOMPARE(familyHistory(rig.session->historyPath()),
                 (QStringList{at + "before,4C12,3b034812,", at + "after,4812,3b034812,applied",
                              at + "before,4812,3b034c12,", at + "after,4C12,3b034c12,applied"}));
    }

    // The prompt 30 ms after the answers to some commands, and whatever comes
    // before it lost: the same bytes go out as to a prompt at once.
    void aLatePromptChangesNothingOnTheWire_data() {
        QTest::addColumn<QString>("after");
        QTest::newRow("the reset") << "atz";
        QTest::newRow("the set-up commands") << "at";
        QTest::newRow("the identification requests") << "22e2";
        QTest::newRow("the read") << "2103";
        QTest::newRow("the write") << "3b03";
        QTest::newRow("every answer") << "";
    }
    void aLatePromptChangesNothingOnTheWire() {
        QFETCH(QString, after);
        sim::SimConfig late;
        late.promptDelayMs = 30;
        late.promptDelayCommand = after;
        late.earlyInput = sim::EarlyInput::Dropped;
        SessionRig atOnce;
        SessionRig rig(late);
        for (SessionRig* r : {&atOnce, &rig}) {
            const SessionReport connected = r->connect();
            QVERIFY2(connected.ok(), qPrintable(texts(connected.messages).join(" | ")));
            const PoliceReport changed = r->change();
            QVERIFY2(changed.ok(), qPrintable(texts(changed.messages).join(" | ")));
        }
        QCOMPARE(rig.sim.receivedBytes(), atOnce.sim.receivedBytes());
        // Each command reached the adapter whole: only line feeds were lost.
        QCOMPARE(rig.sim.requests(), atOnce.sim.requests());
        QCOMPARE(rig.writes(), QStringList{"3b034812"});
        QCOMPARE(rig.eventsOf("police"), (QStringList{"ON", "OFF"}));
    }

    // A prompt that never comes ends the command in words that say so, and
    // nothing more is sent to an adapter that has not finished.
    void aPromptThatNeverComesIsSaid() {
        sim::SimConfig config;
        config.promptDelayMs = 600'000;
        config.promptDelayCommand = "atcaf1";
        config.earlyInput = sim::EarlyInput::Dropped;
        SessionRig rig(config);
        const SessionReport connected = rig.connect();
        QCOMPARE(connected.status, SessionStatus::Failed);
        QCOMPARE(connected.messages.size(), 1);
        const QString text = connected.messages[0].text;
        QVERIFY2(text.contains("\"atcaf1\"") && text.contains("did not finish its answer"),
                 qPrintable(text));
        QCOMPARE(rig.sim.requests(), (QStringList{"atz", "atcaf1"}));
        QVERIFY(!rig.connected());
    }
};

TAVRIN_TEST(AdapterFamilyTest)
#include "AdapterFamilyTest.moc"
