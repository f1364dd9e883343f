#pragma once

#include <QString>
#include <csignal>
#include <cstdio>

// What every command of torvik-cli shares: its output, and the signals that stop it.
namespace cli {

// Standard output that could not be written (a closed pipe, a full disk) ends the output only:
// the operation goes on to its end, and the exit code says so.
extern bool outputFailed;

void print(std::FILE* to, const QString& text);
// From now on, everything printed (but a terminal's redrawn lines) is kept as well, for the
// support record.
void keepOutput();
QString keptOutput();
void out(const QString& line);  // a line of standard output
void err(const QString& line);  // a line of standard error, after "torvik-cli: "
bool stderrIsTerminal();

// Where a port's output goes when several ports run at once: each thread of a port sets its
// own, and out(), err() and progress() hand their lines to it instead of printing them.
class PortOutput {
public:
    virtual ~PortOutput() = default;
    virtual void line(bool error, const QString& text) = 0;
    virtual void progress(int percent, qint64 imageBytes, qint64 elapsedMs,
                          const QString& logLine) = 0;
};
void setPortOutput(PortOutput* output);  // for the calling thread; none: print
PortOutput* portOutput();

// A programming run's progress: on a terminal a bar on standard error, rewritten in place;
// elsewhere a line a block.
void progress(int percent, qint64 imageBytes, qint64 elapsedMs, const QString& logLine);
// The run's progress is over: the bar's line is ended.
void progressDone();

// The first of SIGINT, SIGTERM and SIGHUP: a run stops as with "Stop" (the end frame is sent),
// any other operation once its exchange is over. A second signal changes nothing.
extern volatile std::sig_atomic_t stopSignal;
void setUpSignals();
int signalExit();  // the exit code of the signal that stopped the program

}  // namespace cli
