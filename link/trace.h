#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "link/serial_port.h"

// The wire trace: one line for each event of the port in use, every byte written out, for a
// fault report. "<ms since the trace began> <COMn> <device> <event> [bytes] [waited=<ms>]" with
// the events open, set, purge, write, read, timeout and close.
namespace comlink {

// The newest trace lines are kept in memory at all times, whether or not a file is written, so
// that a fault can be reported without being repeated.
inline constexpr qsizetype kTraceRingBytes = 256 * 1024;

// Starts the trace into the file at path ("-": standard error); false, with the reason, when it
// cannot be opened. The trace lasts as long as the program.
bool startTrace(const QString& path, QString* error);
// A trace to standard error ("-") goes through this writer where one is set, so that it shares
// the program's own output there (and its lock) instead of cutting through it; none: written to
// standard error as it comes.
void setTraceWriter(std::function<void(const QByteArray& line)> writer);

// Where the trace goes; empty when there is none.
QString tracePath();

// The newest lines of the trace (kTraceRingBytes at most, whole lines), from the program's start
// on, whether or not a trace file is written.
QByteArray traceRing();

// The port in use, traced under its COM name (or device path): into the memory's lines always,
// and into the trace file while one is written. The probe's ports are never traced.
std::unique_ptr<SerialPort> traced(std::unique_ptr<SerialPort> port, const QString& name);

}  // namespace comlink
