#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

#include "device/bench.h"
#include "device/settings_file.h"

class QJsonObject;

namespace device {
struct Configuration;
}  // namespace device

// torvik-cli: the window's operations for scripts, on the reader layer that the window uses, so
// that what goes on the line is what the window sends for the same choices. It needs no window
// system, and opens no port but the one it is given.
namespace cli {

// What a script can test: the bench's codes, the same for one port and for many.
using Exit = device::Exit;
using enum device::Exit;

// A box to set as a user would click it: its control name (or its caption, where that names one
// box) and the state wanted.
struct BoxChoice {
    QString key;
    bool checked = false;
};

// The command's file, read and checked once before any port is opened: every port sends these
// bytes, and the units' records name their SHA-256, whatever happens to the file meanwhile.
struct JobFile {
    int code = 0;      // not 0: the file cannot be used, and error says why
    QString error;     // as the command prints it
    QByteArray image;  // program
    std::optional<device::SettingsRecord> settings;  // restore
    QString sha256;
};

struct Options {
    QString command;           // a command of the table (shell/cli/commands.h)
    QString port;              // the port of this run: COMn, or a device path as typed
    QStringList ports;         // every port given with --port, each once, in the order given
    bool all = false;          // and every port that "ports" lists
    bool watch = false;        // and every reader that appears after the start, until SIGINT
    QString units;             // a JSON line appended per reader done
    int jobs = 0;              // at most this many ports at once; 0: all
    bool retryFailed = false;  // only the ports whose last record in units did not succeed
    QString trace;             // the wire trace's file; "-" standard error
    QString supportRecord;     // the support record written at the end; empty: none
    bool json = false;
    // Entries of the three lists, by text or index; empty: left as "Read param" set them.
    QString protocol;
    QString typeCode;
    QString protocol2;
    std::vector<BoxChoice> boxes;
    std::optional<int> openTimeMs;
    QString file;                 // the operand: the firmware file (program) or the settings file
    QString file2;                // diff: the second operand
    std::optional<bool> progPgm;  // unset: as "Read param" ticks it
    bool avtoSetFilter = false;
    bool allowOtherModel = false;  // restore: what both models share
    bool dryRun = false;           // restore: say what it would change, write nothing
    // restore: the settings to take by control name (--only), or to leave (--except); none
    // given: all.
    QStringList takeNames;
    bool takeExcept = false;
    bool inBoot = false;     // the reader is in its boot loader already: the run alone
    int stallTimeoutS = 30;  // a run that no packet moves on for this long gives up; 0: never
    std::shared_ptr<const JobFile> jobFile;  // set once before any port runs; none: read per run

    // Several ports at once: each line says whose it is, and a summary ends the run.
    bool severalPorts() const { return ports.size() > 1 || all || watch || retryFailed; }
    // The command as the units' records name it: a dry run is no restore.
    QString recordedCommand() const {
        return dryRun ? command + QStringLiteral(" --dry-run") : command;
    }
    // Some port to run on was given.
    bool portsGiven() const { return !ports.isEmpty() || all || watch; }
};

struct Parsed {
    Options options;
    QString error;  // a usage error, to print with the hint to --help
    bool help = false;
    bool version = false;
    QString completion;          // the shell whose completion script to print
    bool completePorts = false;  // the COM names that have a device, for the completion
};

// The arguments after the program's name.
Parsed parseArguments(const QStringList& args);
QString helpText();

// The completion script for bash, zsh or fish, made from the command table; empty for another
// shell.
QString completionScript(const QString& shell);
QStringList completionShells();

// One line of progress of a programming run. On a terminal a bar, rewritten in place; elsewhere
// one plain line a block.
QString progressLine(bool terminal, int percent, qint64 imageBytes, qint64 elapsedMs,
                     const QString& logLine);

// What "Read param" found, as one JSON object: the settings and filters under their control
// names, the raw blocks in hex, and the log.
QJsonObject readReport(const device::Configuration& c, const QStringList& lines, bool ok);

// Runs the command; standard output gets the log lines (or the JSON), standard error the boxes,
// errors and progress. Sets up the signals that stop it.
int run(const Options& options);

}  // namespace cli
