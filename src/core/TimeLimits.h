#pragma once

namespace tavrin {

// Every time limit of a conversation with the adapter, and of the search for
// one, in one table. The host holds the one in use; tests shorten some.
struct TimeLimits {
    // The connection watchdog: the adapter's whole connection sequence, from
    // the reset on, must finish within this budget.
    int watchdogMs = 6000;
    // Safety net for one wait on the adapter. An ELM327 gives up on a silent
    // bus by itself within a fraction of a second (and prints NO DATA), and
    // even its first protocol search ends within a few seconds, so running
    // out of ten seconds means a dead adapter or cable, not a slow car.
    int answerMs = 10000;
    // A few unreadable characters followed by this much silence: an adapter
    // at another line speed has finished its (garbled) answer. Longer than an
    // adapter's reset takes, so a stray byte before a slow answer does no harm.
    int quietAfterNoiseMs = 1500;
    // A cluster may ask for more time (7F xx 78), and each request restarts
    // the answer's time limit, but not without end.
    int maxPendingRestarts = 12;
    // A command line is a few dozen characters: on the wire within 50 ms at
    // 9600 bit/s, and within a second even over a Bluetooth link that
    // retries. A write of which nothing more has gone out for this long will
    // not finish (a driver that never completes it, a link gone half-dead),
    // and the line is lost; shorter than the answer's limit, so that it is
    // the write that is named.
    int writeMs = 5000;

    // Opening a serial port, or asking whether it could be opened. A USB
    // adapter opens at once; a Bluetooth one dials its adapter, which
    // answers within a second or two when it is on and in range, while one
    // that is not keeps the open waiting until the radio gives up.
    int openMs = 5000;

    // Reaching a Wi-Fi adapter, its name looked up included: on its own
    // network it answers within milliseconds.
    int connectMs = 3000;

    // The search for an adapter. An ELM327 answers a line within
    // milliseconds and a Bluetooth link adds some tens; 300 ms tells a silent
    // line or a wrong speed from an adapter, and keeps a search of 16 ports
    // at three speeds with no adapter anywhere within 15 s.
    int searchPromptMs = 300;
    // Once an adapter has answered cleanly it gets more room: judging a slow
    // adapter to lack a command would be worse than a slower search.
    int searchAnswerMs = 1000;
};

}  // namespace tavrin
