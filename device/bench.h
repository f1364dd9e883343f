#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <span>
#include <vector>

// A bench of readers: one command on many ports at once, a thread a port, each port's fault its
// own; what each unit came to, the record of each unit done, the totals; and the watch that takes
// readers as they come. It knows no widget and prints nothing: it reports events to whoever
// listens (torvik-cli prints them; a window can draw them).
namespace device {

// What a unit's run came to, as a number a script can test. A signal's code wins over any other.
enum Exit {
    kOk = 0,             // the operation's verdict was the good one
    kFailed = 1,         // the reader refused or did not answer, or the run failed
    kUsage = 2,          // the arguments, the port name or the file
    kPortUnusable = 3,   // the port cannot be opened (in use, no permission, not a serial device)
    kInBootLoader = 4,   // the reader answers as its boot loader: program it with --in-boot
    kOutputFailed = 5,   // standard output (or a unit's record) could not be written
    kSomeFailed = 6,     // several ports: at least one did not succeed (each port's own code is in
                         // its row of the summary)
    kStopped = 7,        // the bench window's Stop ended it
    kHangUp = 129,       // SIGHUP
    kInterrupted = 130,  // SIGINT (Ctrl+C)
    kTerminated = 143,   // SIGTERM
};

// An exit code: what the summary's rows and totals say of it, and the manual's paragraph (roff).
struct ExitRow {
    int code;
    const char* reason;
    const char* manual;  // none where the paragraph of the row before covers it
};
std::span<const ExitRow> exitCodes();
// What an exit code says, for a row of the summary and its totals.
QString exitReason(int code);
// torvik-cli's manual's EXIT STATUS, made from the table.
QString manualExitStatus();

// The real device behind a port name or path; empty when there is none.
QString portDevice(const QString& port);

// What one unit's run came to.
struct UnitRun {
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
    QString backup;      // the backup of its "Read param"
    QJsonObject report;  // the command's own report (read --json, diff --json); empty for none
};

// The end event's fields of a unit (without "port" and "kind"); command names the report's key.
QJsonObject endEvent(const UnitRun& run, const QString& command);

// Where one port's run says its lines and progress.
class UnitOutput {
public:
    virtual ~UnitOutput() = default;
    virtual void line(bool error, const QString& text) = 0;
    virtual void progress(int percent, qint64 imageBytes, qint64 elapsedMs,
                          const QString& step) = 0;
    // The reader said what it is, before the run's work on it (a window shows it at once).
    virtual void identified(int /*modelCode*/, const QString& /*modelName*/,
                            const QString& /*firmware*/) {}
};

// What the bench reports, from the ports' threads: each port's events in their order, one call at
// a time per port (a listener that draws several ports guards its own state).
class BenchEvents {
public:
    virtual ~BenchEvents() = default;
    virtual void started(const QString& port, const QString& device, const QString& command) = 0;
    virtual void line(const QString& port, bool error, const QString& text) = 0;
    virtual void progress(const QString& port, int percent, qint64 imageBytes, qint64 elapsedMs,
                          const QString& step) = 0;
    virtual void identified(const QString& /*port*/, int /*modelCode*/,
                            const QString& /*modelName*/, const QString& /*firmware*/) {}
    // The unit is done, and its record (where one is kept) is on the disk.
    virtual void ended(const QString& port, const UnitRun& run) = 0;
};

// The job: one command with its file, the same for every port.
struct BenchJob {
    QString command;
    QString file;    // the command's file as given; empty for none
    QString sha256;  // of the file's bytes as read once at the start; empty for none
    QString units;   // each unit's record is appended here; empty: none
    // A second file, for a job that restores settings before it programs: the record names it
    // under "settings"; empty for none.
    QString settingsFile;
    QString settingsSha256;
    int jobs = 0;  // at most this many ports at once (the rest wait their turn); 0: all
    // The watch returns the runs it did, for a summary; false: none are kept (a window that
    // draws each unit as it ends watches for a day in the same memory).
    bool keepRuns = true;
    // The command on one port, from its open to its last exchange; it says its lines and progress
    // to output. The bench fills in the port, the device and the time.
    std::function<UnitRun(const QString& port, UnitOutput& output)> runOne;
    // 0 while the bench goes on; once a stop is asked for, the code of a unit it stopped (a unit
    // waiting for its turn is then not started).
    std::function<int()> stopCode;
};

// One unit: its start event, the run, its record, its end event. events may be null (one port,
// whose output is printed as it comes).
UnitRun runUnit(const BenchJob& job, const QString& port, BenchEvents* events,
                UnitOutput* output = nullptr);
// Every port, at most job.jobs at once; the runs in the order of ports.
std::vector<UnitRun> runBench(const BenchJob& job, const QStringList& ports, BenchEvents& events);
// The ports given, then every reader as it comes (a port that appears, a reader that starts to
// answer on a given port), each once per connection, until a stop; the runs in the order done.
std::vector<UnitRun> watchBench(const BenchJob& job, const QStringList& given, BenchEvents& events);

// The totals: units done and failed, the failures by reason.
struct BenchTotals {
    int units = 0;
    int done = 0;
    int failed = 0;
    std::map<QString, int> reasons;
};
BenchTotals totals(const std::vector<UnitRun>& runs);

// The unit's record, one JSON object as --units writes it.
QJsonObject unitRecord(const BenchJob& job, const UnitRun& run);

// Of the ports given, those whose last record of this command in the units file did not succeed;
// a port with no such record is not among them. False, with the reason, when the file cannot be
// read.
bool portsToRetry(const QString& unitsFile, const QString& command, const QStringList& ports,
                  QStringList* retry, QString* error);

}  // namespace device
