#pragma once

#include <QString>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "device/bench.h"

// What every command of torvik-cli shares: its output, and the signals that stop it.
namespace cli {

// Standard output that could not be written (a closed pipe, a full disk) ends the output only:
// the operation goes on to its end, and the exit code says so. Every port's thread prints.
extern std::atomic<bool> outputFailed;

// kept: whether the support record's copy of the output gets it (a trace line does not: the
// record has the trace apart).
void print(std::FILE* to, const QString& text, bool kept = true);
// From now on, everything printed (but a terminal's redrawn lines) is kept as well, for the
// support record.
void keepOutput();
QString keptOutput();
void out(const QString& line);  // a line of standard output
void err(const QString& line);  // a line of standard error, after "torvik-cli: "
bool stderrIsTerminal();

// Where a port's output goes when several ports run at once: each thread of a port sets its
// own, and out(), err() and progress() hand their lines to it instead of printing them.
using PortOutput = device::UnitOutput;
void setPortOutput(PortOutput* output);  // for the calling thread; none: print
PortOutput* portOutput();

// A programming run's progress: on a terminal a bar on standard error, rewritten in place;
// elsewhere a line a block.
void progress(int percent, qint64 imageBytes, qint64 elapsedMs, const QString& logLine);
// The run's progress is over: the bar's line is ended.
void progressDone();

// The first of SIGINT, SIGTERM and SIGHUP: a run stops as with "Stop" (the end frame is sent),
// any other operation once its exchange is over. A second signal changes nothing. Set by the
// handler, read by every port's thread: a lock-free atomic serves both.
extern std::atomic<int> stopSignal;
static_assert(std::atomic<int>::is_always_lock_free);
void setUpSignals();
int signalExit();  // the exit code of the signal that stopped the program

}  // namespace cli
