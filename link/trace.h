#pragma once

#include <QString>
#include <memory>

#include "link/serial_port.h"

// The wire trace: one line for each event of the port in use, every byte written out, for a
// fault report. "<ms since the trace began> <COMn> <device> <event> [bytes] [waited=<ms>]" with
// the events open, set, purge, write, read, timeout and close.
namespace comlink {

// Starts the trace into the file at path ("-": standard error); false, with the reason, when it
// cannot be opened. The trace lasts as long as the program.
bool startTrace(const QString& path, QString* error);
// Where the trace goes; empty when there is none.
QString tracePath();

// The port in use, traced under its COM name (or device path) while a trace runs; the port as it
// is when none does. The probe's ports are never traced.
std::unique_ptr<SerialPort> traced(std::unique_ptr<SerialPort> port, const QString& name);

}  // namespace comlink
