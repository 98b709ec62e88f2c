#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cfloat>
#include <cmath>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <csignal>
#endif

#include "TestSupport.h"
#include "config/INI_Handler.h"

using namespace tavrin;
using tavrin::test::readFile;
using tavrin::test::writeFile;

namespace {

const QByteArray kDefaultFile = "QUILLET v1.00 INI File\r\nComPort=COM1\r\nComSpeed=9600\r\n";
const QByteArray kHeader = "QUILLET v1.00 INI File\r\n";

// Runs the reader on a fresh set of variables and records what panel 3 got.
struct ReadRun {
    Defines d;
    QString panel;
    QString error;
    bool result = false;
    explicit ReadRun(const QString& path, qint16 port = 0, const QString& speed = {},
                     const QString& network = {}) {
        d.IniFilePath = path;
        d.ComPort = port;
        d.ComSpeed = speed;
        d.Network = network;
        result = ReadIniFile(
            d, [this](const QString& t) { panel = t; }, &error);
    }
};

}  // namespace

class IniHandlerTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString iniPath() const { return dir_.filePath("QUILLET.INI"); }

private slots:
    void init() {
        QVERIFY(dir_.isValid());
        QFile::remove(iniPath());
    }

    void missingFileGetsDefaults() {
        ReadRun run(iniPath());
        QVERIFY(run.result);
        QCOMPARE(readFile(iniPath()), kDefaultFile);
        QCOMPARE(run.d.ComPort, qint16(1));
        QCOMPARE(run.d.ComSpeed, QString("9600"));
        QCOMPARE(run.panel, QString("COM 1 / 9600"));
        QVERIFY(run.error.isEmpty());
    }

    void readFileContent_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<bool>("replaced");

        const QByteArray h = kHeader;
        QTest::newRow("empty file") << QByteArray() << 1 << "9600" << true;
        QTest::newRow("header lower case")
            << QByteArray("quillet v1.00 ini file\r\nComPort=COM5\r\n") << 1 << "9600" << true;
        QTest::newRow("header trailing blank")
            << QByteArray("QUILLET v1.00 INI File \r\nComPort=COM5\r\n") << 1 << "9600" << true;
        QTest::newRow("blank first line") << "\r\n" + h + "ComPort=COM5\r\n" << 1 << "9600" << true;
        QTest::newRow("header only") << h << 0 << "" << false;
        QTest::newRow("header without line end")
            << QByteArray("QUILLET v1.00 INI File") << 0 << "" << false;
        QTest::newRow("written layout") << h + "ComPort=COM12\r\nComSpeed=115200\r\n"
                                        << 12 << "115200" << false;
        QTest::newRow("keys in other case") << h + "COMPORT=COM5\r\ncomspeed=38400\r\n"
                                            << 5 << "38400" << false;
        QTest::newRow("speed before port") << h + "ComSpeed=38400\r\nComPort=COM3\r\n"
                                           << 3 << "38400" << false;
        QTest::newRow("key anywhere in line") << h + "MyComPort:X7\r\n" << 7 << "" << false;
        QTest::newRow("blanks around equals") << h + "ComPort = COM5\r\n" << 0 << "" << false;
        QTest::newRow("port line of 11") << h + "ComPort=COM\r\n" << 0 << "" << false;
        QTest::newRow("port line of 10") << h + "ComPort=CO\r\n" << 1 << "9600" << true;
        QTest::newRow("port word alone") << h + "ComPort\r\n" << 1 << "9600" << true;
        QTest::newRow("speed line of 9") << h + "ComSpeed=\r\n" << 0 << "0" << false;
        QTest::newRow("speed word alone") << h + "comspeed\r\n" << 1 << "9600" << true;
        QTest::newRow("port 70000") << h + "ComPort=COM70000\r\n" << 1 << "9600" << true;
        QTest::newRow("port -32769") << h + "ComPort=COM-32769\r\n" << 1 << "9600" << true;
        QTest::newRow("port -32768") << h + "ComPort=COM-32768\r\n" << -32768 << "" << false;
        QTest::newRow("port 32767") << h + "ComPort=COM32767\r\n" << 32767 << "" << false;
        QTest::newRow("port 32767.5 rounds out") << h + "ComPort=COM32767.5\r\n"
                                                 << 1 << "9600" << true;
        QTest::newRow("port -32768.5 rounds in") << h + "ComPort=COM-32768.5\r\n"
                                                 << -32768 << "" << false;
        QTest::newRow("port of 20 digits") << h + "ComPort=COM99999999999999999999\r\n"
                                           << 1 << "9600" << true;
        QTest::newRow("speed of 400 digits") << h + "ComSpeed=" + QByteArray(400, '9') + "\r\n"
                                             << 1 << "9600" << true;
        QTest::newRow("round 2.5") << h + "ComPort=COM2.5\r\n" << 2 << "" << false;
        QTest::newRow("round 3.5") << h + "ComPort=COM3.5\r\n" << 4 << "" << false;
        QTest::newRow("round 2.51") << h + "ComPort=COM2.51\r\n" << 3 << "" << false;
        QTest::newRow("round -2.5") << h + "ComPort=COM-2.5\r\n" << -2 << "" << false;
        QTest::newRow("exponent stops") << h + "ComPort=COM1e3\r\n" << 1 << "" << false;
        QTest::newRow("hex prefix stops") << h + "ComPort=COM0x10\r\n" << 0 << "" << false;
        QTest::newRow("speed fraction") << h + "ComSpeed=9600.50\r\n" << 0 << "9600.5" << false;
        QTest::newRow("speed leading blank and zeros") << h + "ComSpeed= 0038400\r\n"
                                                       << 0 << "38400" << false;
        QTest::newRow("speed trailing junk") << h + "ComSpeed=12abc\r\n" << 0 << "12" << false;
        QTest::newRow("speed not a number") << h + "ComSpeed=fast\r\n" << 0 << "0" << false;
        QTest::newRow("later line wins")
            << h + "ComPort=COM2\r\n\r\n; note\r\nComSpeed=9600\r\nComPort=COM9\r\n"
                   "ComSpeed=38400\r\n"
            << 9 << "38400" << false;
        QTest::newRow("failure after good lines")
            << h + "ComPort=COM5\r\nComSpeed=38400\r\nComPort\r\n"
            << 1 << "9600" << true;
        QTest::newRow("both keys in one line") << h + "comspeed=9600 comport\r\n"
                                               << 0 << "9600" << false;
        QTest::newRow("LF only") << QByteArray(
                                        "QUILLET v1.00 INI File\nComPort=COM6\nComSpeed=38400\n")
                                 << 6 << "38400" << false;
        QTest::newRow("CR only") << QByteArray(
                                        "QUILLET v1.00 INI File\rComPort=COM7\rComSpeed=115200\r")
                                 << 7 << "115200" << false;
        QTest::newRow("CR then CR LF")
            << QByteArray("QUILLET v1.00 INI File\r\r\nComPort=COM4") << 4 << "" << false;
        QTest::newRow("control and high bytes") << h + QByteArray(
                                                           "ComPort=COM\0\xff"
                                                           "7\r\n",
                                                           15)
                                                << 0 << "" << false;
        QTest::newRow("larger than 64 KiB") << h + QByteArray(70 * 1024, '\n') + "ComPort=COM3\r\n"
                                            << 1 << "9600" << true;
    }

    void readFileContent() {
        QFETCH(QByteArray, content);
        QFETCH(int, port);
        QFETCH(QString, speed);
        QFETCH(bool, replaced);

        QVERIFY(writeFile(iniPath(), content));
        ReadRun run(iniPath());
        QVERIFY(run.result);
        QCOMPARE(int(run.d.ComPort), port);
        QCOMPARE(run.d.ComSpeed, speed);
        QCOMPARE(run.panel, "COM " + QString::number(port) + " / " + speed);
        QCOMPARE(readFile(iniPath()), replaced ? kDefaultFile : content);
    }

    void unmentionedSettingKeepsValue() {
        QVERIFY(writeFile(iniPath(), kHeader + "ComSpeed=38400\r\n"));
        ReadRun run(iniPath(), 7, "19200");
        QCOMPARE(run.d.ComPort, qint16(7));
        QCOMPARE(run.d.ComSpeed, QString("38400"));
    }

    void networkLine_data() {
        QTest::addColumn<QByteArray>("lines");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("network");
        QTest::addColumn<bool>("writtenForm");

        const QByteArray com = "ComPort=COM3\r\nComSpeed=9600\r\n";
        const QString usual =
            QLatin1String(kDefaultNetworkHost) + ':' + QString::number(kDefaultNetworkPort);
        QTest::newRow("usual address") << com + "Network=" + usual.toLatin1() + "\r\n"
                                       << 3 << usual << true;
        QTest::newRow("IPv6") << com + "Network=[::1]:35000\r\n" << 3 << "[::1]:35000" << true;
        QTest::newRow("host name") << com + "Network=obd.example:23\r\n"
                                   << 3 << "obd.example:23" << true;
        QTest::newRow("no network line") << com << 3 << "" << true;
        QTest::newRow("lower-case key, blanks") << com + "network= obd.example:35000\t\r\n"
                                                << 3 << "obd.example:35000" << false;
        QTest::newRow("bad later line ignored")
            << com + "Network=one.example:1\r\nNetwork=two.example:0\r\n"
            << 3 << "one.example:1" << false;
        // A hand-made line with a key word is a key line to the three-line
        // rules: here the port is read from "port.example:35000", as 0.
        QTest::newRow("key word in host") << com + "Network=comport.example:35000\r\n"
                                          << 0 << "" << false;
    }

    void networkLine() {
        QFETCH(QByteArray, lines);
        QFETCH(int, port);
        QFETCH(QString, network);
        QFETCH(bool, writtenForm);
        const QByteArray content = kHeader + lines;
        QVERIFY(writeFile(iniPath(), content));

        ReadRun run(iniPath(), 0, {}, "stale.example:1");
        QVERIFY(run.result);
        QCOMPARE(int(run.d.ComPort), port);
        QCOMPARE(run.d.ComSpeed, QString("9600"));
        QCOMPARE(run.d.Network, network);
        QCOMPARE(run.panel, network.isEmpty() ? "COM " + QString::number(port) + " / 9600"
                                              : "Wi-Fi " + network);
        QCOMPARE(readFile(iniPath()), content);  // never taken for a damaged file
        if (!writtenForm) return;

        QVERIFY(QFile::remove(iniPath()));
        QVERIFY(WriteIniFile(run.d, {}));
        QCOMPARE(readFile(iniPath()), content);
        // A reader of three-line files skips a line without a key word, and
        // the three lines before it give the same port and speed.
        const qsizetype at = content.indexOf("Network=");
        if (at < 0) return;
        const QByteArray networkLine = content.sliced(at).toLower();
        QVERIFY(!networkLine.contains("comport") && !networkLine.contains("comspeed"));
        qint16 olderPort = 0;
        QString olderSpeed;
        QVERIFY(ParseIniContent(content.first(at), &olderPort, &olderSpeed));
        QCOMPARE(olderPort, run.d.ComPort);
        QCOMPARE(olderSpeed, run.d.ComSpeed);
    }

    void networkAddress_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");  // empty: refused
        for (const char* text : {"127.0.0.1:35000", "[::ffff:127.0.0.1]:1", "OBD-2.lan:65535"})
            QTest::newRow(text) << QString(text) << QString(text);
        QTest::newRow("blanks, port zeros") << " \tobd.example:00080 " << QString("obd.example:80");
        const QString name = QString(63, 'a') + '.' + QString(63, 'b') + '.' + QString(63, 'c') +
                             '.' + QString(61, 'd');  // 253 characters
        QTest::newRow("name of 253") << name + ":1" << name + ":1";
        QTest::newRow("name of 254") << name + "d:1" << QString();
        // Refused, each for one rule.
        for (const char* text :
             {"127.0.0.1", "obd.example:0", "obd.example:65536", "obd.example:+80",
              "127.0.0.256:80", "127.0.0.01:80", "::1:80", "[::1::1]:80", "[::1%lo]:80",
              "my-ComPort.example:80", "COMSPEED:80", "-obd.example:80", "obd_1.example:80"})
            QTest::newRow(text) << QString(text) << QString();
    }

    void networkAddress() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const std::optional<NetworkAddress> address = ParseNetworkAddress(text);
        QCOMPARE(address ? address->text() : QString(), expected);
        // What is written is read back as the same address.
        if (address) QCOMPARE(ParseNetworkAddress(expected)->text(), expected);
    }

    void writeRefusesBadNetwork() {
        const QByteArray old = kHeader + "ComPort=COM4\r\nComSpeed=115200\r\n";
        QVERIFY(writeFile(iniPath(), old));
        Defines d;
        d.IniFilePath = iniPath();
        d.ComPort = 2;
        d.ComSpeed = "9600";
        d.Network = "obd.example";
        QString error;
        QVERIFY(!WriteIniFile(d, {}, &error));
        QCOMPARE(readFile(iniPath()), old);
        QVERIFY2(
            error.contains("obd.example") && error.contains(QDir::toNativeSeparators(iniPath())),
            qPrintable(error));
    }

    void number_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("expected");
        QTest::newRow("plain") << "3" << 3.0;
        QTest::newRow("leading blank") << " 38400" << 38400.0;
        QTest::newRow("trailing letters") << "12abc" << 12.0;
        QTest::newRow("letters first") << "OM3" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("blanks tabs line feeds inside") << "3 8\t4\n00" << 38400.0;
        QTest::newRow("minus") << "-5" << -5.0;
        QTest::newRow("plus") << "+5" << 5.0;
        QTest::newRow("blank after sign") << "- 5" << -5.0;
        QTest::newRow("two signs") << "--5" << 0.0;
        QTest::newRow("sign after digit") << "5-3" << 5.0;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("fraction only") << ".5" << 0.5;
        QTest::newRow("point at end") << "5." << 5.0;
        QTest::newRow("sign alone") << "-" << 0.0;
        QTest::newRow("exponent") << "1e3" << 1.0;
        QTest::newRow("hex prefix") << "0x10" << 0.0;
        QTest::newRow("carriage return is not blank") << "\r5" << 0.0;
        QTest::newRow("tiny") << "0." + QString(400, '0') + "1" << 0.0;
    }

    void number() {
        QFETCH(QString, text);
        QFETCH(double, expected);
        bool ok = false;
        const double value = IniNumber(text, &ok);
        QVERIFY(ok);
        QCOMPARE(value, expected);
        QVERIFY(!std::signbit(value) || value != 0.0);
    }

    void numberTooLargeStaysFinite() {
        bool ok = true;
        QCOMPARE(IniNumber(QString(400, '9'), &ok), DBL_MAX);
        QVERIFY(!ok);
        QCOMPARE(IniNumber("-" + QString(60000, '7'), &ok), -DBL_MAX);
        QVERIFY(!ok);
        qint16 port = 42;
        QVERIFY(!IniPortNumber(QString(400, '9'), &port));
        QCOMPARE(port, qint16(42));
    }

    void speedText_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << 9600.0 << "9600";
        QTest::newRow("fraction") << 9600.5 << "9600.5";
        QTest::newRow("zero") << 0.0 << "0";
        QTest::newRow("negative zero") << -0.0 << "0";
        QTest::newRow("below one") << 0.25 << "0.25";
        QTest::newRow("negative") << -12.5 << "-12.5";
        QTest::newRow("no exponent") << 1e20 << "100000000000000000000";
    }

    void speedText() {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(IniSpeedText(value), text);
    }

    void writeLayout_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("panel");
        QTest::newRow("port 2") << 2 << "38400" << kHeader + "ComPort=COM2\r\nComSpeed=38400\r\n"
                                << "COM 2 / 38400";
        QTest::newRow("negative port")
            << -5 << "9600" << kHeader + "ComPort=COM-5\r\nComSpeed=9600\r\n"
            << "COM -5 / 9600";
        QTest::newRow("empty speed") << 12 << "" << kHeader + "ComPort=COM12\r\nComSpeed=\r\n"
                                     << "COM 12 / ";
    }

    void writeLayout() {
        QFETCH(int, port);
        QFETCH(QString, speed);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, panel);
        QVERIFY(writeFile(iniPath(), QByteArray(5000, 'x')));  // longer than what replaces it

        Defines d;
        d.IniFilePath = iniPath();
        d.ComPort = qint16(port);
        d.ComSpeed = speed;
        QString shown;
        QVERIFY(WriteIniFile(d, [&](const QString& t) { shown = t; }));
        QCOMPARE(readFile(iniPath()), bytes);
        QCOMPARE(shown, panel);

        // What was written reads back the same (an empty speed reads as "0").
        ReadRun run(iniPath());
        QCOMPARE(int(run.d.ComPort), port);
        QCOMPARE(run.d.ComSpeed, speed.isEmpty() ? QString("0") : speed);
        QCOMPARE(readFile(iniPath()), bytes);
    }

    void writeFailureKeepsOldFile_data() {
        QTest::addColumn<QString>("target");
        QTest::newRow("target is a folder") << "folder";
        QTest::newRow("folder is missing") << "missing";
        QTest::newRow("folder under a file") << "under-file";
    }

    void writeFailureKeepsOldFile() {
        QFETCH(QString, target);
        QTemporaryDir tmp;
        QString path;
        if (target == "folder") {
            path = tmp.filePath("QUILLET.INI");
            QVERIFY(QDir().mkpath(path));
        } else if (target == "missing") {
            path = tmp.filePath("gone/QUILLET.INI");
        } else {
            QVERIFY(writeFile(tmp.filePath("plain"), "x"));
            path = tmp.filePath("plain/QUILLET.INI");
        }
        Defines d;
        d.IniFilePath = path;
        d.ComPort = 3;
        d.ComSpeed = "38400";
        QString shown;
        QString error;
        QVERIFY(!WriteIniFile(
            d, [&](const QString& t) { shown = t; }, &error));
        QCOMPARE(shown, QString("COM 3 / 38400"));
        QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));

        // The reader falls back to the defaults in memory and says why.
        ReadRun run(path, 3, "38400");
        QVERIFY(!run.result);
        QCOMPARE(run.d.ComPort, qint16(1));
        QCOMPARE(run.d.ComSpeed, QString("9600"));
        QCOMPARE(run.panel, QString("COM 1 / 9600"));
        QVERIFY2(run.error.contains(QDir::toNativeSeparators(path)), qPrintable(run.error));
        if (target == "folder") QVERIFY(QFileInfo(path).isDir());
    }

#ifdef Q_OS_UNIX
    // A full disk in the middle of a save: the file size limit makes the write
    // of the new content fail even for root. The old file must survive intact
    // and no stray temporary file may be left beside it.
    void fullDiskMidSaveKeepsOldFile() {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("QUILLET.INI");
        const QByteArray old = kHeader + "ComPort=COM4\r\nComSpeed=115200\r\n";
        QVERIFY(writeFile(path, old));

        Defines d;
        d.IniFilePath = path;
        d.ComPort = 12;
        d.ComSpeed = "38400";
        QString shown;
        QString error;
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = saved;
        tiny.rlim_cur = 10;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
        const bool written = WriteIniFile(
            d, [&](const QString& t) { shown = t; }, &error);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!written);
        QCOMPARE(readFile(path), old);
        QCOMPARE(shown, QString("COM 12 / 38400"));
        QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"QUILLET.INI"});
    }

    void readOnlyFolder() {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("QUILLET.INI");
        QVERIFY(QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::ExeOwner));
        const bool probeWritten = writeFile(tmp.filePath("probe"), "x");
        if (probeWritten) {
            QFile::setPermissions(tmp.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QSKIP(
                "Running with root rights: a read-only folder can still be written. The same "
                "failure is covered by writeFailureKeepsOldFile.");
        }
        ReadRun run(path, 5, "38400");
        QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!run.result);
        QCOMPARE(run.d.ComPort, qint16(1));
        QCOMPARE(run.d.ComSpeed, QString("9600"));
        QVERIFY(run.error.contains(QDir::toNativeSeparators(path)));
        QVERIFY(!QFile::exists(path));
    }
#endif

    void startupFindsFileInAnyCase() {
        test::TestHost host;
        const QString folder = host.programFolder();
        QVERIFY(writeFile(QDir(folder).filePath("quillet.ini"), kDefaultFile));
        const QString startup = StartupIniFilePath(host);
        QCOMPARE(startup, QDir(folder).filePath("quillet.ini"));
        QCOMPARE(SetupIniFilePath(host), startup);
        // No probe or other file is left behind in the program folder.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"quillet.ini"});
    }

    void startupWithoutFile() {
        test::TestHost host;
        const QString expected = QDir(host.programFolder()).filePath("QUILLET.INI");
        QCOMPARE(StartupIniFilePath(host), expected);
        QCOMPARE(SetupIniFilePath(host), expected);

        // Start-up writes the defaults there; Setup then saves to that same file.
        Defines d;
        d.IniFilePath = StartupIniFilePath(host);
        QVERIFY(ReadIniFile(d, {}));
        d.ComPort = 7;
        d.IniFilePath = SetupIniFilePath(host);
        QVERIFY(WriteIniFile(d, {}));
        QCOMPARE(QDir(host.programFolder()).entryList(QDir::Files), QStringList{"QUILLET.INI"});
        QCOMPARE(readFile(expected), kHeader + "ComPort=COM7\r\nComSpeed=9600\r\n");
    }

    void unwritableProgramFolderUsesUserFolder() {
        QTemporaryDir tmp;
        QVERIFY(writeFile(tmp.filePath("program"), "not a folder"));
        test::TestHost host(test::Lines::Memory, tmp.filePath("program/bin"));
        const QString user = tmp.filePath("home/.config/Tavrin");
        host.setUserConfigFolder(user);

        QCOMPARE(StartupIniFilePath(host), QDir(user).filePath("QUILLET.INI"));
        QVERIFY(QFileInfo(user).isDir());
        QVERIFY(writeFile(QDir(user).filePath("Quillet.Ini"), kDefaultFile));
        QCOMPARE(StartupIniFilePath(host), QDir(user).filePath("Quillet.Ini"));
        QCOMPARE(SetupIniFilePath(host), QDir(user).filePath("Quillet.Ini"));
    }
};

TAVRIN_TEST(IniHandlerTest)
#include "tst_ini_handler.moc"
