// Line errors (framing, overrun, parity) the port reports: noted in the log
// with their counts, carried with the answer they came with, named in the
// words for a garbled answer as a wrong line speed, and, in a search, an end
// to the wait at once.
#include <QTest>

#include "TestSupport.h"
#include "cluster/SessionWords.h"
#include "runtime/AdapterLine.h"
#include "serial/AnswerReader.h"

using namespace tavrin;

namespace {

// A line whose device says what the test tells it to, line errors and all.
class TellingLine : public AdapterLine {
public:
    using AdapterLine::AdapterLine;
    void tell(const QByteArray& bytes, const LineErrors& errors) {
        if (errors.any()) heardLineErrors(errors);
        inbox_ += bytes;
        notifyArrival();
    }

protected:
    QCoro::Task<Opening> openDevice(qint32, Clock&, int, Stop) override {
        open_ = true;
        co_return Opening{};
    }
    void closeDevice() override { open_ = false; }
    bool isDeviceOpen() const override { return open_; }
    bool writeDevice(const QByteArray&) override { return true; }
    QByteArray readDevice(qint64 maxBytes) override {
        const QByteArray bytes = inbox_.left(maxBytes);
        inbox_.remove(0, bytes.size());
        return bytes;
    }
    qint64 deviceWaiting() const override { return inbox_.size(); }
    QByteArray peekDevice() const override { return inbox_; }
    void clearDevice() override { inbox_.clear(); }

private:
    bool open_ = false;
    QByteArray inbox_;
};

WaitResult garbled(WaitStatus status, const LineErrors& errors) {
    WaitResult r;
    r.status = status;
    r.lineErrors = errors;
    return r;
}

}  // namespace

Q_DECLARE_METATYPE(tavrin::LineErrors)
Q_DECLARE_METATYPE(tavrin::Message)

class LineErrorsTest : public QObject {
    Q_OBJECT

private slots:
    // What a search's question gets back 10 ms after it went out: the wait
    // ends on it, or at the search's limit.
    void aSearchPassesOverLineErrorsAtOnce_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<LineErrors>("errors");
        QTest::addColumn<bool>("endOnLineErrors");
        QTest::addColumn<WaitStatus>("status");
        QTest::addColumn<int>("endsAtMs");
        // Noise of a wrong speed that holds too little to be told from
        // a stray byte by itself.
        const QByteArray noise = "\xE6~\x13";
        QTest::newRow("noise with a framing error, in a search")
            << noise << LineErrors{1, 0, 0} << true << WaitStatus::Unreadable << 10;
        QTest::newRow("the same noise, no line errors")
            << noise << LineErrors{} << true << WaitStatus::TimedOut << 300;
        QTest::newRow("noise with a framing error, outside a search")
            << noise << LineErrors{1, 0, 0} << false << WaitStatus::TimedOut << 300;
        // An overrun says the computer fell behind, not that the speed is wrong.
        QTest::newRow("noise with an overrun, in a search")
            << noise << LineErrors{0, 1, 0} << true << WaitStatus::TimedOut << 300;
        QTest::newRow("a whole answer with a framing error, in a search")
            << QByteArray("~~\r?\r\r>") << LineErrors{1, 0, 0} << true << WaitStatus::Found << 10;
    }
    void aSearchPassesOverLineErrorsAtOnce() {
        QFETCH(QByteArray, answer);
        QFETCH(LineErrors, errors);
        QFETCH(bool, endOnLineErrors);
        QFETCH(WaitStatus, status);
        QFETCH(int, endsAtMs);
        test::TestHost host;
        TellingLine line;
        line.setLog(&host.adapterLog());
        line.DevicePath = QStringLiteral("telling");
        QVERIFY(host.finish(line.open(host.clock(), host.limits.openMs)));
        AnswerReader reader(line, host);
        reader.expect(QStringLiteral("~~"));
        host.vclock().after(10, [&] { line.tell(answer, errors); });
        Listening how;
        how.endMark = QStringLiteral(">");
        how.limitMs = 300;
        how.judged = false;
        how.endOnLineErrors = endOnLineErrors;
        const qint64 start = host.clock().nowMs();
        const WaitResult r = host.finish(reader.collect(how, {}, {}));
        QCOMPARE(r.status, status);
        QCOMPARE(host.clock().nowMs() - start, qint64(endsAtMs));
        // Carried with the answer, and noted in the log with the counts.
        QCOMPARE(r.lineErrors, errors);
        const QString log = host.adapterLog().lines().join('\n');
        QCOMPARE(log.contains("the port reported " + LineErrorsText(errors)), errors.any());
    }

    void garbledAnswersWithLineErrorsNameTheSpeed_data() {
        QTest::addColumn<Message>("said");
        QTest::addColumn<QStringList>("has");
        QTest::addColumn<QStringList>("hasNot");
        const LineErrors none;
        const LineErrors framing{2, 0, 0};
        const auto window = Audience::Window;
        const auto terminal = Audience::Terminal;
        QTest::newRow("read, another answer, framing errors")
            << words::ReadFailed(garbled(WaitStatus::UnexpectedAnswer, framing), window)
            << QStringList{"The port reported 2 framing errors with the answer: the line speed "
                           "set in Setup is probably not the adapter's",
                           "Find Adapter"}
            << QStringList{"did not make sense"};
        QTest::newRow("read, another answer, no line errors")
            << words::ReadFailed(garbled(WaitStatus::UnexpectedAnswer, none), window)
            << QStringList{"did not make sense"} << QStringList{"reported", "Find Adapter"};
        QTest::newRow("read, no prompt, an overrun and a parity error")
            << words::ReadFailed(garbled(WaitStatus::Unfinished, {0, 1, 1}), window)
            << QStringList{"1 overrun and 1 parity error", "Find Adapter"} << QStringList{};
        QTest::newRow("connect, a long answer, framing errors")
            << words::ConnectionFailed("atz", garbled(WaitStatus::TooLong, framing), "COM3",
                                       "38400", window)
            << QStringList{"the line speed is probably wrong", "the port reported 2 framing errors",
                           "Find Adapter"}
            << QStringList{};
        QTest::newRow("connect, at the terminal")
            << words::ConnectionFailed("atz", garbled(WaitStatus::TimedOut, framing), "COM3",
                                       "38400", terminal)
            << QStringList{"the line speed is probably wrong", "--speed", "tavrin --find"}
            << QStringList{"Setup"};
        QTest::newRow("a record that did not parse, framing errors")
            << words::ReadGarbled(garbled(WaitStatus::Found, framing), window)
            << QStringList{"incomplete or garbled", "2 framing errors", "Find Adapter"}
            << QStringList{};
        QTest::newRow("a record that did not parse, no line errors")
            << words::ChangeReadGarbled(garbled(WaitStatus::Found, none), window)
            << QStringList{"incomplete or garbled. Try again."} << QStringList{"Find Adapter"};
        QTest::newRow("a change's read at the terminal, framing errors")
            << words::ChangeReadGarbled(garbled(WaitStatus::Found, framing), terminal)
            << QStringList{"2 framing errors", "--speed"} << QStringList{"Setup"};
        // A lost line is a lost line, whatever came before it.
        QTest::newRow("lost, framing errors")
            << words::ReadFailed(garbled(WaitStatus::PortClosed, framing), window)
            << QStringList{"was lost", "Plug it in again"} << QStringList{"framing"};
    }
    void garbledAnswersWithLineErrorsNameTheSpeed() {
        QFETCH(Message, said);
        QFETCH(QStringList, has);
        QFETCH(QStringList, hasNot);
        const QString all = said.text + QStringLiteral(" / ") + said.detail;
        for (const QString& h : has) QVERIFY2(all.contains(h), qPrintable(all));
        for (const QString& h : hasNot) QVERIFY2(!all.contains(h), qPrintable(all));
    }
};

TAVRIN_TEST(LineErrorsTest)
#include "LineErrorsTest.moc"
