#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace tavrin::sim {

// A misbehaviour the simulated adapter or cluster can show, so the program's
// handling of bad lines and bad answers can be exercised on demand.
enum class Fault {
    None,
    Silence,              // no bytes at all for matching commands, not even the echo
    ResetWithoutElm,      // the reset answers with an identification lacking "ELM"
    NoData,               // cluster requests answer "NO DATA"
    NegativeRead,         // services 21 and 22 answer 7F <svc> <negativeCode>
    NegativeWrite,        // service 3B answers 7F 3B <negativeCode>, record unchanged
    ResponsePending,      // 7F <svc> 78 pendingCount times before the real answer
    Pieces,               // answers leave in pieces of 1 to 3 characters
    Garbage,              // cluster requests answer a line of noise
    DisconnectMidAnswer,  // part of the answer, then the line goes dead
    WriteNotApplied,      // 3B 03 acknowledged but the record is kept
    LineFeedAfterPrompt,  // a line feed follows every prompt
    TruncatedRecord,      // the 61 03 answer line loses its last data byte
    InterruptOnInput,     // a character arriving while a request is processed stops it
    AlwaysStopped,        // every request is answered STOPPED
    NulBytes,             // a NUL follows every carriage return, and one stands before the prompt
    Glitch,               // one unreadable byte (FF) comes ahead of each answer
    // Cluster answers as with CAN formatting off: all 8 bytes of each frame,
    // its PCI byte and AA padding included. Meant to go with atcaf1 and
    // atcaf0 in `unsupported`: such an adapter can switch neither.
    Unformatted,
};

// What the adapter does with a character that arrives before it has printed
// the prompt that ends its answer to the last command line.
enum class EarlyInput {
    Kept,     // taken as the start of the next command line
    Dropped,  // lost: the adapter does not listen while it works
    // A request for the bus still under way is stopped, its answer's lines
    // or only its prompt still to come: STOPPED and the prompt instead. An
    // AT command is done at once, so a character behind it is kept.
    Stops,
};

struct SimConfig {
    QString identification = QStringLiteral("ELM327 v1.5");

    // What the cluster reports.
    QString partPrefix = QStringLiteral("3R23");        // E21A, 4 ASCII characters
    QByteArray e217 = QByteArray::fromHex("00990123");  // E217
    QByteArray e219 = QByteArray::fromHex("0A02");      // E219
    QByteArray e200 = QByteArray::fromHex("0102");      // E200
    QByteArray record = QByteArray::fromHex("4C12");    // local identifier 03, 1 or 2 bytes

    int answerDelayMs = 0;  // pause between the end of a command and its answer
    int resetDelayMs = 0;   // extra pause before the reset answer
    int baud = 0;           // line speed for pacing the answer; 0 = as fast as possible
    // The line speed the adapter itself runs at, in bit/s; 0 = it answers at
    // any speed. At another speed every line gets a burst of noise back.
    int adapterSpeed = 0;

    // The prompt that ends an answer comes this long after the answer's last
    // line, as from an adapter that waits for more frames before it gives
    // up; when promptDelayCommand is set, only for command lines starting
    // with it (spaces removed, any case).
    int promptDelayMs = 0;
    QString promptDelayCommand;
    EarlyInput earlyInput = EarlyInput::Kept;

    // AT commands (spaces removed, any case) this adapter does not know, with
    // or without a hexadecimal argument: "atst" covers "atst32".
    QStringList unsupported;
    // Bytes right after the echo of a reset, ahead of its answer: a clone's
    // stray byte.
    QByteArray afterResetEcho;
    // The answers to the STN commands "sti" and "stdi"; empty: "?", as an
    // adapter of another make answers.
    QString stIdentification;
    QString stDevice;
    // When set, every request for the bus is answered with these lines
    // instead ("\r" between them), as when the adapter finds no bus: the
    // ignition off, or no car at all.
    QString noBusAnswer;
    // When set, the cluster only hears requests sent with header 720 ("atsh720"
    // since the last reset); otherwise the bus stays silent ("NO DATA").
    bool requireHeader = false;

    Fault fault = Fault::None;
    // Empty: the fault hits every request it can apply to; otherwise only
    // requests starting with this text (spaces removed, any case).
    QString faultCommand;
    int negativeCode = 0x22;
    int pendingCount = 1;
};

Fault faultFromName(const QString& name, bool* ok = nullptr);
QString faultName(Fault fault);
QStringList faultNames();

}  // namespace tavrin::sim
