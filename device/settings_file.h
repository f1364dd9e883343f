#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "device/reader.h"
#include "device/settings.h"

// A reader's settings as a file: JSON with "format": 1, the model, the firmware it was read from,
// the output settings and the filter choice under the control names, and the raw blocks in hex
// as a record. The keys are what a restore applies; the record is there to be read by people.
namespace device {

inline constexpr int kSettingsFormat = 1;

struct SettingsRecord {
    uint8_t modelCode = 0;
    QString modelName;
    QString firmware;  // "1.7.1"
    OutputSettings settings;
    std::optional<filters::BoxStates> filters;  // where the filter block was read
    std::array<uint8_t, comlink::cmd::kParams.replyData> paramBlock{};
    std::optional<std::array<uint8_t, filters::kBlockSize>> filterBlock;
    // The serial number of the adapter of the port it was read on, where the port has one.
    QString adapterSerial;
};

// The name of a model code as files and records give it: empty for a code without a model.
QString modelName(uint8_t code);
// The "model" object of settings files, read --json, diff and the units' records.
QJsonObject modelJson(int code, const QString& name);

// What "Read param" read, as a record.
SettingsRecord recordOf(const Identity& who, const ParamRead& params, const FilterRead* filters);

QJsonObject settingsJson(const SettingsRecord& r);
// The record of a whole settings file; none, with what is wrong, for a file that is not one
// (not JSON, truncated, a key missing or of the wrong kind, a format newer than this program's).
std::optional<SettingsRecord> settingsFromJson(const QJsonObject& o, QString* error);

// Written whole or not at all: a temporary file beside it, synced, then renamed.
bool writeSettingsFile(const QString& path, const SettingsRecord& r, QString* error);
// sha256, where asked for: the SHA-256 of the bytes read, which the record was made from.
std::optional<SettingsRecord> readSettingsFile(const QString& path, QString* error,
                                               QString* sha256 = nullptr);

// The folder of the automatic backups: $XDG_DATA_HOME/torvik-config/backups, by default
// ~/.local/share/torvik-config/backups (the home from the password database where HOME is unset).
QString backupFolder();
// The port in a file name any system takes: a device path's slashes and a URL's colons as '_'.
QString fileNamePart(const QString& port);

// Backs the record up as YYYYMMDD-HHMMSS-mmm-<port>-model<code>.json (a '/' of the port as '_'),
// keeping the newest 1000 files; the file's path, or empty with the reason.
QString backupSettings(const QString& port, const SettingsRecord& r, QString* error);

// 2026-12-10T08:17:43+01:00: the local time with its offset, also where it is 0, as the records
// of units and support write it.
QString isoTimeWithOffset(const QDateTime& t);

// Appends one line to a record file (a unit's record): in one write to a file opened for
// appending, so that programs appending to one file never mix their lines, and on the disk before
// it returns, so that a crash or a pulled plug never loses it or leaves half of it. The line
// ends with its newline. False, with the reason, when it was not written.
bool appendRecordLine(const QString& path, const QByteArray& line, QString* error);

// Backs records up one after another on a thread of its own, so that a read does not wait for
// the disk to take its backup; done is called on that thread with the file's path or the reason
// it failed. Its end waits until everything it was given is written: no backup is lost to a
// window closed right after a read.
class BackupWriter {
public:
    using Done = std::function<void(const QString& path, const QString& error)>;
    BackupWriter() = default;
    ~BackupWriter();
    BackupWriter(const BackupWriter&) = delete;
    BackupWriter& operator=(const BackupWriter&) = delete;

    void add(const QString& port, const SettingsRecord& r, Done done);
    // Returns once everything given so far is written.
    void waitUntilWritten();

private:
    struct Job {
        QString port;
        SettingsRecord record;
        Done done;
    };
    void run();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    bool ending_ = false;
    std::thread thread_;  // started by the first backup, so that start-up pays nothing
};

}  // namespace device
