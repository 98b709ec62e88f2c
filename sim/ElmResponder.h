#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "SimConfig.h"

namespace tavrin::sim {

// One stretch of answer text and the pause the line keeps before it starts
// (counted from the moment the previous stretch has left the line).
struct Chunk {
    QByteArray bytes;
    int delayMs = 0;
};

struct Reply {
    QList<Chunk> chunks;  // nothing at all when the adapter stays silent
    bool hangUp = false;  // the line goes dead after the chunks
};

// Moves the last prompt of the chunks, and whatever follows it, into a chunk
// of its own that waits delayMs after the answer's last line. Its index;
// -1 when the chunks hold no prompt.
int delayPrompt(QList<Chunk>* chunks, int delayMs);

// The adapter's command interpreter and the cluster behind it: turns one
// received command line into the text the adapter prints. Knows nothing about
// the line itself (echo timing, pacing), so it can be reasoned about alone.
class ElmResponder {
public:
    explicit ElmResponder(SimConfig& config);

    // State after power-up or "atz": echo on, headers off, default header.
    void powerUp();
    bool echoOn() const { return echo_; }
    bool headersOn() const { return headers_; }

    // Whether the configured fault applies to this command line.
    bool faultHits(const QString& line) const;
    // Whether the command the line stands for starts with prefix (spaces
    // removed, any case); an empty prefix fits every line.
    bool startsWith(const QString& line, const QString& prefix) const;
    // Whether the adapter gives no byte at all (not even the echo) for the line.
    bool silent(const QString& line) const;
    // Whether the line is a request for the bus (not an AT command); a bare
    // carriage return is whatever it repeats.
    bool isRequest(const QString& line) const;

    Reply respond(const QString& line);

    // Spaces removed, lower case: how the adapter compares commands.
    static QString normalized(const QString& line);

private:
    QByteArray atCommand(const QString& cmd, Fault fault, int* delayMs);
    bool unsupported(const QString& cmd) const;
    QByteArray clusterAnswer(const QByteArray& request, Fault fault);
    QByteArray frameLines(const QByteArray& payload, bool unformatted) const;
    QString effectiveCommand(const QString& line) const;

    SimConfig& config_;
    bool echo_ = true;
    bool headers_ = false;
    QString header_;
    QString lastCommand_;
};

}  // namespace tavrin::sim
