// The whole conversation, Connect and up to two police-mode changes, against
// an adapter and cluster whose every answer the input chooses, and a user who
// cancels, clicks twice and closes when the input says; after every run the
// judge checks the safety rules on what crossed the line and what landed on
// the disk.
#include <QCoreApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "Conversation.h"
#include "Judge.h"

using namespace tavrin::fuzz;

// Every allocation's stack would be kept, and a conversation's stacks differ
// with every script: the store would grow without end. A report still shows
// where the fault happened; ASAN_OPTIONS=malloc_context_size=30 adds where
// the memory came from when an input is replayed.
extern "C" const char* __asan_default_options() {
    return "malloc_context_size=0";
}

namespace {

ConversationRunner& runner() {
    static int argc = 1;
    static char name[] = "fuzz_conversation";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static ConversationRunner runner;
    return runner;
}

// How often the user's actions reached each pause of a change: printed as
// the run ends, beside libFuzzer's own statistics.
void printReach() {
    for (const QString& line : runner().reach().lines())
        std::fprintf(stderr, "%s\n", qPrintable(line));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The judge's positive control, for a run that must fail: a program
    // that ignores a Cancel in the pause before the write.
    if (qEnvironmentVariable("TAVRIN_FUZZ_SLIP") == QLatin1String("ignore-cancel-before-write"))
        runner().plantSlip(Slip::IgnoreCancelBeforeWrite);
    std::atexit(printReach);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input is the conversation's script: how it is read, and how a new
    // choice is added without changing what the committed seeds mean, is
    // ScriptReader's (Conversation.h).
    ConversationRunner& runner = ::runner();
    const QStringList broken = Judge(runner.run(data, size));
    runner.forget();
    if (broken.isEmpty()) return 0;
    // What happened, then what was wrong with it.
    for (const QString& line : Transcript(runner.run(data, size)))
        std::fprintf(stderr, "%s\n", qPrintable(line));
    for (const QString& rule : broken) std::fprintf(stderr, "broken: %s\n", qPrintable(rule));
    std::abort();
}
