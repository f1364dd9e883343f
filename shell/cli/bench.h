#pragma once

#include <QString>
#include <vector>

#include "shell/cli.h"

// Several ports at once, and the record of each reader done.
namespace cli {

struct CommandSpec;
class Board;

// What one port's run came to.
struct PortRun {
    QString port;
    QString device;  // the real device; empty when there is none
    int code = -1;
    QString outcome;  // in words
    int modelCode = -1;
    QString modelName;
    QString firmware;       // as read before the command
    QString firmwareAfter;  // program: as read after a delivered run
    qint64 bytesAccepted = -1;
    qint64 imageBytes = -1;
    double seconds = 0;
    QString backup;  // the backup of its "Read param"
};

// What the units' records say of the command's file.
struct FileFacts {
    QString sha256;
};
FileFacts fileFacts(const Options& o);

// The command on one port; with a board, its output goes there with the port's name. The unit's
// record is appended where --units asks for it.
PortRun runPort(const Options& o, const CommandSpec& c, const QString& port, Board* board,
                const FileFacts& facts);
// The command on every port of --port, --all (and --watch) at once, then the summary; the exit
// code: 0 when every port succeeded, 6 otherwise, a signal's when one stopped them.
int runSeveral(const Options& o, const CommandSpec& c);
int summarize(const Options& o, const std::vector<PortRun>& runs, Board& board);
// --watch: the ports given, then every reader as it comes, until a signal; then the summary.
int runWatching(const Options& o, const CommandSpec& c, QStringList ports, Board& board,
                const FileFacts& facts);
// The real device behind a port name or path; empty when there is none.
QString portDevice(const QString& port);

}  // namespace cli
