#pragma once

#include <QString>
#include <QtGlobal>
#include <array>

namespace tavrin {

// The program-wide variables, as one object. Main creates it and hands it to
// whoever needs it, so a test can start from a fresh one.
struct Defines {
    // Settings and connection.
    qint16 ComPort = 0;  // port number n of "COM" n
    QString ComSpeed;    // line speed as decimal text; kept but unused over the network
    // A Wi-Fi adapter's address, "HOST:PORT" (see ParseNetworkAddress); when
    // empty, the serial port ComPort is used.
    QString Network;
    QString IniFilePath;      // full path of the settings file
    qint16 ConnectState = 0;  // 0 idle or under way, 1 connected, 3 abandoned by the watchdog
    bool ClusterReady = false;

    // Cluster identity.
    QString PartPrefix;
    QString PartBase;
    std::array<QString, 2> SuffixCode;
    std::array<QString, 2> SuffixLetter;
    QString PartSuffix;
    QString ModelName;

    // Police-mode record as last read: what the window shows.
    qint16 PM_TwoBytes = 0;
    std::array<QString, 3> PM_Data;  // entries 1 and 2 are used
    std::array<QString, 16> PM_Bits = {"0", "0", "0", "0", "0", "0", "0", "0",
                                       "0", "0", "0", "0", "0", "0", "0", "0"};
};

}  // namespace tavrin
