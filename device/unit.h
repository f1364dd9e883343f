#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "device/configuration.h"
#include "device/reader.h"
#include "device/settings_file.h"
#include "link/serial_port.h"

// One reader on one port, from the port's open to its release: "Read param" with its backup,
// "Write param" and the read-back that checks it, a settings file restored, a firmware image
// programmed. Both fronts run their per-port work through it (torvik-cli a command, the bench
// window a job), each saying the run's words in its own place. It knows no widget and prints
// nothing.
namespace device {

// Where a unit's words go, and what stops it. Every member is called from the unit's thread.
struct UnitSink {
    std::function<void(const QString& line)> log;  // a line of the window's log
    std::function<void(const QString& text)> say;  // a note or an error of the run itself
    std::function<void(int percent, qint64 imageBytes, qint64 elapsedMs, const QString& step)>
        progress;
    std::function<void()> progressDone;  // the run's progress is over
    std::function<bool()> stopped;       // a stop was asked for: a run ends with its end frame
    // Settings read whole by "Read param" (for a support record); may be empty.
    std::function<void(const QString& port, const SettingsRecord& read)> settingsRead;
};

// What a front says in its own terms where a run needs the user to act.
struct UnitHints {
    QString otherModel;  // after a refused model: how to apply what both share; may be empty
    QString stall;       // names the stall limit, "(--stall-timeout)"
    // How to finish a reader left in its boot loader; newType: the boot loader's type.
    std::function<QString(bool newType)> finish;
    // A reader found in its boot loader: what to do (port given).
    std::function<QString(const QString& port, bool newType)> inBootLoader;
};

struct ProgramChoice {
    std::optional<bool> progPgm;  // unset: as "Read param" ticks it
    bool avtoSetFilter = false;
    bool inBoot = false;         // the reader is in its boot loader already: the run alone
    int stallTimeoutS = 30;      // a run that no packet moves on for this long gives up; 0: never
    bool firmwareAfter = false;  // ask the firmware the reader runs after a delivered run
};

class UnitSession {
public:
    UnitSession(const QString& port, UnitSink sink, UnitHints hints = {});
    virtual ~UnitSession();

    const QString& port() const { return port_; }
    Reader& reader() { return reader_; }
    // What the last "Read param" found, and the choices made on it since.
    Configuration& config() { return config_; }
    const Configuration& config() const { return config_; }
    const QStringList& lines() const { return lines_; }
    bool readOk() const { return readOk_; }
    bool stopped() const { return sink_.stopped && sink_.stopped(); }
    void say(const QString& text) const { sink_.say(text); }

    // What the run came to, for a bench's row and the unit's record.
    struct Report {
        QString outcome;            // in words, where the run says more than its exit code
        qint64 bytesAccepted = -1;  // program: of the image
        qint64 imageBytes = -1;
        QJsonObject read;       // read --json with several ports: the report
        QString firmwareAfter;  // the firmware the reader reports after a delivered run
    } report;

    // Opens the port for the reader: 0, or kUsage / kPortUnusable with the reason said.
    int openPort();
    void releasePort();
    // "Read param" as the window runs it; true when each step that it takes for this model went
    // through. backUp: the parameter block read is kept under the backups folder.
    bool readParam(bool backUp);
    // The reader answers as its boot loader (a run was cut short): kInBootLoader, said.
    int inBootLoader();
    // The firmware the reader reports now ("1.7.1"), asked quietly; empty when it does not
    // answer as a reader.
    QString firmwareNow();
    // Where the backup of this run's "Read param" went; empty when none was written.
    const QString& backupPath() const { return backupPath_; }
    // Why the backup of this run's "Read param" was not written; empty when it was or none was
    // due.
    const QString& backupError() const { return backupError_; }

    // A line of the window's log, to the sink unless the unit is quiet.
    void log(const QString& line);

    // "Write param" of the configuration's settings.
    int writeParams();
    // "Read param" once more, quietly, and each written field the reader does not hold named:
    // kFailed. wrote: the configuration that was written; wroteFilters: the filter choice.
    int readBack(const Configuration* wrote, const filters::BoxStates* wroteFilters);
    // The file's settings onto the reader read: the parameters its model's write carries, the
    // filters where it reads and writes them whole. A value it cannot take refuses the whole
    // restore before anything is written; the read-back follows the writes. fileName names the
    // file in what is said.
    int restore(const SettingsRecord& file, const QString& fileName, bool allowOtherModel);
    struct RestoreChoice {
        bool allowOtherModel = false;  // what both models share, from another model's file
        TakeSetting take;              // the settings taken; none: all
        // Given: nothing is written; it gets what would be, and the run is 0 when nothing would
        // change, kFailed when something would (a value the reader cannot take is kUsage, as
        // for the restore).
        std::function<void(const Fit&)> dryRun;
    };
    int restore(const SettingsRecord& file, const QString& fileName, const RestoreChoice& choice);
    // A programming run of image, "Go to the BOOT" first unless the reader is in its boot
    // loader already; the outcome in report.
    int program(const QByteArray& image, const ProgramChoice& choice);

protected:
    bool readOk_ = false;  // set by the front from its first "Read param"

private:
    QString port_;
    UnitSink sink_;
    UnitHints hints_;
    Reader reader_;
    std::unique_ptr<comlink::SerialPort> line_;
    QStringList lines_;
    bool quiet_ = false;
    Configuration config_;
    BackupWriter backups_;
    QString backupPath_, backupError_;
    QString adapterSerial_;  // the port's adapter's serial number, where it has one
};

// A unit's run as a bench row shows it: model and firmware as read, the report's fields.
struct UnitRun;
class UnitOutput;
void fillRun(const UnitSession& s, UnitRun* run);

// The jobs of the bench window, each on every port it is given.
enum class UnitJob {
    Backup,          // "Read param", its backup kept
    Restore,         // a settings file onto the reader
    Program,         // a firmware image into the reader
    RestoreProgram,  // the settings file, then (when it went through) the image
};
// The command a unit's record names for the job.
QString jobCommand(UnitJob job);

// A job's files, each read once before any port runs: every port gets the same bytes.
struct JobFiles {
    QString settingsPath;
    std::optional<SettingsRecord> settings;
    QString settingsSha256;
    QString imagePath;
    QByteArray image;
    QString imageSha256;
};

// The job's files read: false, with the reason, when one cannot be used.
bool readJobFiles(UnitJob job, const QString& settingsPath, const QString& imagePath,
                  JobFiles* files, QString* error);

// One port's run of the job: a unit of its own whose words go to output; stopped ends it (a
// programming run with its end frame), and a unit that did not succeed because of it is
// kStopped.
UnitRun runJob(UnitJob job, const JobFiles& files, const QString& port, UnitOutput& output,
               const std::function<bool()>& stopped, const UnitHints& hints,
               int stallTimeoutS = 30);

}  // namespace device
