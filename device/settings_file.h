#pragma once

#include <QJsonObject>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

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
    std::optional<FilterChoice> filters;  // where the filter block was read
    std::array<uint8_t, comlink::cmd::kParams.replyData> paramBlock{};
    std::optional<std::array<uint8_t, filters::kBlockSize>> filterBlock;
};

// What "Read param" read, as a record.
SettingsRecord recordOf(const Identity& who, const ParamRead& params, const FilterRead* filters);

QJsonObject settingsJson(const SettingsRecord& r);
// The record of a whole settings file; none, with what is wrong, for a file that is not one
// (not JSON, truncated, a key missing or of the wrong kind, a format newer than this program's).
std::optional<SettingsRecord> settingsFromJson(const QJsonObject& o, QString* error);

// Written whole or not at all: a temporary file beside it, synced, then renamed.
bool writeSettingsFile(const QString& path, const SettingsRecord& r, QString* error);
std::optional<SettingsRecord> readSettingsFile(const QString& path, QString* error);

// The folder of the automatic backups: $XDG_DATA_HOME/torvik-config/backups, by default
// ~/.local/share/torvik-config/backups (the home from the password database where HOME is unset).
QString backupFolder();
// Backs the record up as YYYYMMDD-HHMMSS-mmm-<port>-model<code>.json (a '/' of the port as '_'),
// keeping the newest 1000 files; the file's path, or empty with the reason.
QString backupSettings(const QString& port, const SettingsRecord& r, QString* error);

}  // namespace device
