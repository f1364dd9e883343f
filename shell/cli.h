#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class TForm1;
class QJsonObject;

// torvik-cli: the window's operations for scripts. It drives the window's own handlers on a
// window that is never shown, so that what goes on the line is what the window sends for the
// same choices; only the choosing and the telling are its own.
namespace cli {

// What a script can test.
enum Exit {
    kOk = 0,            // the operation's last verdict was the good one
    kFailed = 1,        // the reader refused or did not answer, or the run failed
    kUsage = 2,         // the arguments, the port name or the file
    kPortUnusable = 3,  // the port cannot be opened or set up
    kInterrupted = 130  // Ctrl+C: a programming run was stopped as by "Stop"; any other
                        // operation ends when its exchange is over
};

// A box to set as a user would click it: its caption and the state wanted.
struct BoxChoice {
    QString caption;
    bool checked = false;
};

struct Options {
    QString command;  // ports, read, write, factory-settings, set-filter, boot, program
    QString port;     // COMn
    bool json = false;
    // Entries of the three lists, by text or index; empty: left as "Read param" set them.
    QString protocol;
    QString typeCode;
    QString protocol2;
    std::vector<BoxChoice> boxes;
    std::optional<int> openTimeMs;
    QString file;
    std::optional<bool> progPgm;  // unset: as "Read param" ticks it
    bool avtoSetFilter = false;
};

struct Parsed {
    Options options;
    QString error;  // a usage error, to print with the hint to --help
    bool help = false;
    bool version = false;
};

// The arguments after the program's name.
Parsed parseArguments(const QStringList& args);
QString helpText();

// The good verdicts of the last log line of an operation.
bool goodVerdict(const QString& line);

// One line of progress of a programming run. On a terminal a bar, rewritten in place; elsewhere
// one plain line a block.
QString progressLine(bool terminal, int percent, qint64 imageBytes, qint64 elapsedMs,
                     const QString& logLine);

// The window's state after "Read param", as one JSON object; modeCode is the mode byte of the
// parameter block read (-1 when none was).
QJsonObject readReport(const TForm1& form, const QStringList& lines, int modeCode, bool ok);

// Runs the command; out gets the log lines (or the JSON), err the boxes, errors and progress.
int run(const Options& options);

}  // namespace cli
