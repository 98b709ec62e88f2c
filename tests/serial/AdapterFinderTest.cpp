// The adapter search against simulated adapters in memory, on virtual time,
// and on real pseudo-terminals for a port another program holds.
#include <QSignalSpy>
#include <QTest>

#include "SimRig.h"
#include "cluster/SessionWords.h"
#include "serial/AdapterFinder.h"
#include "serial/PortCheck.h"

using namespace tavrin;
using namespace tavrin::test;

namespace {

// One simulated adapter of a search row.
struct Adapter {
    int com = 0;
    int speed = 0;  // the only speed it answers at; 0: any
    QStringList lacks;
    bool silent = false;
    sim::Fault fault = sim::Fault::None;
};

sim::SimConfig configFor(const Adapter& a) {
    sim::SimConfig config;
    config.adapterSpeed = a.speed;
    config.unsupported = a.lacks;
    config.fault = a.silent ? sim::Fault::Silence : a.fault;
    return config;
}

// "COM6/38400: answers ? to atspa6", or ": OK" for a capable adapter.
QStringList summary(const FinderReport& report) {
    QStringList out;
    for (const FoundAdapter& a : report.found) {
        QStringList refusals;
        for (const Refusal& r : a.refusals) refusals << words::RefusalText(r);
        out << QStringLiteral("COM%1/%2: %3")
                   .arg(a.port)
                   .arg(a.speed)
                   .arg(a.capable() ? QStringLiteral("OK") : refusals.join(QStringLiteral("; ")));
    }
    return out;
}

// The ports a Setup dialog would list: those with a simulator.
QList<qint16> listed(const SimPorts& ports) {
    QList<qint16> out;
    for (const auto& entry : ports.sims) out << qint16(entry.first);
    return out;
}

// Simulators for the adapters of a row as the only ports, the main window's
// serial control (closed unless a test opens it), and a finder that searches
// them.
struct SearchRig {
    explicit SearchRig(const QList<Adapter>& adapters, Lines lines = Lines::Memory)
        : host(lines), mainPort(host.createLine(nullptr)), finder(mainPort.get(), host) {
        for (const Adapter& a : adapters) ports.add(a.com, configFor(a));
        ready = ports.isolate();
    }
    FinderReport run() { return host.finish(finder.run(listed(ports), host.programFolder(), {})); }

    TestHost host;
    SimPorts ports{host};
    std::unique_ptr<AdapterLine> mainPort;
    AdapterFinder finder;
    bool ready = true;
};

}  // namespace

Q_DECLARE_METATYPE(QList<Adapter>)

class AdapterFinderTest : public QObject {
    Q_OBJECT

private slots:
    void answerLines_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("clean");
        QTest::addColumn<QStringList>("lines");

        const QString del = QStringLiteral("~~");
        const QStringList refused{"?"};
        QTest::newRow("refusal with echo") << "~~\r?\r\r>" << del << true << refused;
        QTest::newRow("refusal without echo") << "?\r\r>" << del << true << refused;
        QTest::newRow("line feeds with the returns") << "\r\n?\r\n\r\n>" << del << true << refused;
        QTest::newRow("identification") << "ati\rELM327 v1.5\r\r>"
                                        << "ati" << true << QStringList{"ELM327 v1.5"};
        QTest::newRow("echo in capitals") << "ATI\rELM327 v2.1 \r\r>"
                                          << "ati" << true << QStringList{"ELM327 v2.1"};
        QTest::newRow("an echo only counts first")
            << "OK\ratcaf1\r>"
            << "atcaf1" << true << QStringList{"OK", "atcaf1"};
        QTest::newRow("printable noise is clean; no step takes it")
            << "#~%&@!\r>" << del << true << QStringList{"#~%&@!"};
        QTest::newRow("prompt alone") << ">" << del << true << QStringList{};
        QTest::newRow("no prompt") << "?\r\r" << del << false << QStringList{};
        QTest::newRow("two prompts") << "?>\r\r>" << del << false << QStringList{};
        QTest::newRow("noise before the prompt")
            << QString::fromLatin1("\xe3\x11?\r>") << del << false << QStringList{};
        QTest::newRow("next-line byte at the end of a line")
            << QString::fromLatin1("?\x85\r>") << del << false << QStringList{};
        QTest::newRow("no-break space")
            << QString::fromLatin1("OK\xa0\r>") << "atcaf1" << false << QStringList{};
        // A stray byte or two on an answer that carries the echo is a
        // disturbed line; without the echo it is taken for noise.
        QTest::newRow("a stray byte after the echo") << "~~\r?\x7f\r>" << del << true << refused;
        QTest::newRow("stray bytes around the echo")
            << QString::fromLatin1("\xff~~\r\x85?\r\x01>") << del << true << refused;
        QTest::newRow("four stray bytes are noise")
            << QString::fromLatin1("\xff\xfe~~\r\x85?\r\x01>") << del << false << QStringList{};
        QTest::newRow("a stray byte in the adapter's name")
            << QString::fromLatin1(
                   "\xff"
                   "ELM327 v1.5\r\r>")
            << "ati" << true << QStringList{"ELM327 v1.5"};
        QTest::newRow("tab") << "O\tK\r>"
                             << "ath1" << false << QStringList{};
        QTest::newRow("line feed alone splits a line") << "O\nK\r>"
                                                       << "ath1" << true << QStringList{"O", "K"};
    }

    void answerLines() {
        QFETCH(QString, text);
        QFETCH(QString, sent);
        QFETCH(bool, clean);
        QFETCH(QStringList, lines);
        const std::optional<QStringList> got = AnswerLines(text, sent);
        QCOMPARE(got.has_value(), clean);
        if (clean) QCOMPARE(*got, lines);
    }

    void search_data() {
        QTest::addColumn<QList<Adapter>>("adapters");
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<int>("chosen");
        QTest::addColumn<QString>("said");

        QTest::newRow("any speed: 38400 first")
            << QList<Adapter>{{3, 0, {}, false}} << QStringList{"COM3/38400: OK"} << 0
            << "Found ELM327 v1.5 on COM3 at 38400 bit/s: all set-up commands answered OK. "
               "Press Save";
        QTest::newRow("9600 only") << QList<Adapter>{{2, 9600, {}, false}}
                                   << QStringList{"COM2/9600: OK"} << 0 << "COM2 at 9600 bit/s";
        QTest::newRow("clone lacking two commands")
            << QList<Adapter>{{6, 0, {"atspa6", "ath1"}, false}}
            << QStringList{"COM6/38400: answers ? to atspa6; answers ? to ath1"} << 0
            << "this adapter cannot be used: it answers ? to atspa6 and answers ? to ath1";
        QTest::newRow("silent") << QList<Adapter>{{1, 0, {}, true}} << QStringList{} << -1
                                << "No adapter answered on COM1 at 38400, 9600 or 115200";
        QTest::newRow("a clone that sends NULs")
            << QList<Adapter>{{4, 0, {}, false, sim::Fault::NulBytes}}
            << QStringList{"COM4/38400: OK"} << 0 << "COM4 at 38400 bit/s";
        QTest::newRow("a stray byte ahead of every answer")
            << QList<Adapter>{{4, 0, {}, false, sim::Fault::Glitch}}
            << QStringList{"COM4/38400: OK"} << 0 << "COM4 at 38400 bit/s";
        QTest::newRow("clone first, the capable one chosen")
            << QList<Adapter>{{1, 0, {"atsh720"}, false}, {5, 115200, {}, false}}
            << QStringList{"COM1/38400: answers ? to atsh720", "COM5/115200: OK"} << 1
            << "COM5 at 115200 bit/s is selected";
        // Formatting is on after a reset anyway: an adapter that cannot
        // switch it can be used, and the report says so.
        QTest::newRow("formats always: ? to atcaf1")
            << QList<Adapter>{{3, 0, {"atcaf1", "atcaf0"}, false}} << QStringList{"COM3/38400: OK"}
            << 0 << "but for atcaf1, which it does not know: it formats the car's answers always";
    }

    void search() {
        QFETCH(QList<Adapter>, adapters);
        QFETCH(QStringList, found);
        QFETCH(int, chosen);
        QFETCH(QString, said);

        SearchRig rig(adapters);
        QVERIFY(rig.ready);
        QSignalSpy trying(&rig.finder, &AdapterFinder::trying);
        const FinderReport report = rig.run();

        QVERIFY(!report.stopped);
        QCOMPARE(summary(report), found);
        QCOMPARE(report.chosen(), chosen);
        QVERIFY2(words::DescribeSearch(report).contains(said),
                 qPrintable(words::DescribeSearch(report)));
        QVERIFY(!rig.finder.port().PortOpen());
        QCOMPARE(report.searched, listed(rig.ports));
        QVERIFY(report.skipped.isEmpty());
        for (const auto& [n, sim] : rig.ports.sims) {
            const QString foreign = foreignSearchLine(sim->receivedBytes());
            QVERIFY2(foreign.isEmpty(),
                     qPrintable(QStringLiteral("COM%1: %2").arg(n).arg(foreign)));
            // Once found at a speed, a port is not tried at the next one.
            int tries = 0;
            for (const QList<QVariant>& t : trying) tries += t.at(0).toInt() == n ? 1 : 0;
            const bool answered = found.join(' ').contains(QStringLiteral("COM%1/").arg(n));
            QCOMPARE(sim->requests().count(QStringLiteral("~~")), tries);
            if (!answered) QCOMPARE(tries, 3);
            if (answered) QCOMPARE(sim->requests().count(QStringLiteral("ati")), 1);
        }
    }

    void garbageWithPromptsNeverCounts() {
        // Adapters at a speed the search does not offer: every answer is noise.
        QList<Adapter> adapters;
        for (int n : {2, 5, 9, 11, 13, 15}) adapters << Adapter{n, 19200, {}, false};
        SearchRig rig(adapters);
        QVERIFY(rig.ready);
        const FinderReport report = rig.run();

        QVERIFY(report.found.isEmpty());
        QCOMPARE(report.searched.size(), 6);
        int withPrompt = 0;
        for (const auto& entry : rig.ports.sims) {
            withPrompt += int(entry.second->sentBytes().count('>'));
            QCOMPARE(entry.second->requests(), QStringList(3, QStringLiteral("~~")));
        }
        // Otherwise the rule would not have been put to the test.
        QVERIFY2(withPrompt >= 3, qPrintable(QString::number(withPrompt)));
    }

    void skipsPortsInUse_data() {
        QTest::addColumn<bool>("byThisProgram");
        QTest::addColumn<bool>("deviceLockOnly");
        QTest::addColumn<QString>("why");
        QTest::addColumn<Lines>("lines");
        // Another program's hold is the device's lock: only a real port has one.
        if (test::kRealLines) {
            QTest::newRow("another program")
                << false << false << "in use by another program" << Lines::Real;
            QTest::newRow("another program, with no lock file")
                << false << true << "in use by another program" << Lines::Real;
        }
        QTest::newRow("the main window")
            << true << false << "open in the main window" << Lines::Memory;
    }

    void skipsPortsInUse() {
        QFETCH(bool, byThisProgram);
        QFETCH(bool, deviceLockOnly);
        QFETCH(QString, why);
        QFETCH(Lines, lines);
        SearchRig rig({{3, 0, {}, false}, {4, 0, {}, false}}, lines);
        QVERIFY(rig.ready);
        AdapterLine& mainPort = *rig.mainPort;
        const QString folder = rig.host.programFolder();
        std::unique_ptr<OtherProgram> other;
        if (byThisProgram) {
            Defines d;
            d.ComPort = 3;
            d.ComSpeed = QStringLiteral("38400");
            QCOMPARE(rig.host.finish(OpenComPort(d, folder, mainPort, rig.host)),
                     OpenResult::Opened);
        } else {
            other = std::make_unique<OtherProgram>(ComDevicePath(3, folder), deviceLockOnly);
            QVERIFY2(other->held, "the second program could not open the port");
        }

        const FinderReport report = rig.run();
        QCOMPARE(summary(report), QStringList{"COM4/38400: OK"});
        QCOMPARE(report.skipped.size(), 1);
        QCOMPARE(report.skipped.first().port, qint16(3));
        QCOMPARE(words::SkipReason(report.skipped.first()), why);
        QVERIFY(words::DescribeSearch(report).contains(QStringLiteral("COM3 (%1)").arg(why)));
        QVERIFY(rig.ports[3].receivedBytes().isEmpty());
        QCOMPARE(mainPort.PortOpen(), byThisProgram);
    }

    void sixteenSilentPortsWithinTheBound() {
        QList<Adapter> silent;
        for (int n = 1; n <= 16; ++n) silent << Adapter{n, 0, {}, true};
        SearchRig rig(silent);
        QVERIFY(rig.ready);

        // The window's timers keep running throughout.
        ClockTimer tick(rig.host.clock());
        int ticks = 0;
        QObject::connect(&tick, &ClockTimer::timeout, [&] { ++ticks; });
        tick.start(10);
        const qint64 start = rig.host.clock().nowMs();
        const FinderReport report = rig.run();
        const qint64 elapsed = rig.host.clock().nowMs() - start;
        tick.stop();

        QVERIFY(report.found.isEmpty());
        QCOMPARE(report.searched.size(), 16);
        // Each port at each speed gets the prompt's time limit, and nothing more.
        QCOMPARE(elapsed, 16 * 3 * TimeLimits().searchPromptMs);
        QVERIFY(elapsed < 15000);
        // The last tick falls due as the search ends, and may come after it.
        QVERIFY2(qAbs(ticks - int(elapsed / 10)) <= 1, qPrintable(QString::number(ticks)));
        for (int n = 1; n <= 16; ++n) {
            QCOMPARE(rig.ports[n].receivedBytes(), QByteArray("~~\r~~\r~~\r"));
        }
    }
};

TAVRIN_TEST(AdapterFinderTest)
#include "AdapterFinderTest.moc"
