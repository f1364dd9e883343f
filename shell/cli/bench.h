#pragma once

#include "device/bench.h"
#include "shell/cli.h"

// torvik-cli's view of the bench of readers (device/bench.h): each port's run is a session of
// its own, and what the bench reports is printed with the port's name, as JSON Lines, and as the
// summary at the end.
namespace cli {

struct CommandRow;

// The command's file, read and checked once; a JobFile whose code is 0 when the command takes no
// file.
JobFile readJobFile(const Options& o);
// The command's file as the run read it once (read now where no run did), for a session's
// preparation: 0, or the code of a file that cannot be used, whose reason is printed.
int useJobFile(const Options& o, std::shared_ptr<const JobFile>* f);
// The job the bench runs: the command, its file read once, and a session of its own on each port
// (severalPorts: its lines and progress go to the bench's events, each with its port).
device::BenchJob benchJob(const Options& o, const CommandRow& c, bool severalPorts);
// The command on the one port of --port, as a unit (its record where --units asks for it).
int runOnePort(const Options& o, const CommandRow& c);
// The command on every port of --port, --all (and --watch) at most --jobs at once, then the
// summary; the exit code: 0 when every port succeeded, 6 otherwise, a signal's when one stopped
// them.
int runSeveral(const Options& o, const CommandRow& c);

}  // namespace cli
