#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "device/configuration.h"
#include "device/settings_file.h"

// Two readers' settings side by side, in the window's words: which settings differ, with each
// side's value as the window shows it (the list entry's text, ticked or unticked, the open time
// in ms), grouped as the window groups them; the settings that one side's model does not carry;
// and the raw bytes that differ where no setting explains them.
namespace device {

struct SettingDifference {
    QString group;    // "Output protocol", "Format", "Filters"
    QString name;     // the control's name
    QString caption;  // its caption on the window
    QString a, b;     // each side's value as the window shows it
};

// A setting that one side's model does not carry (its write does not send it, or it has no
// such list or filter block): not a difference.
struct NotCarried {
    QString name;
    QString caption;
    char side = 'a';  // the side whose model does not carry it
};

struct RawDifference {
    QString what;  // "parameter block byte 0 (the mode)", "filter block byte 5"
    QString a, b;  // in hexadecimal
};

struct Comparison {
    bool modelsDiffer = false;
    std::vector<SettingDifference> settings;
    std::vector<NotCarried> notCarried;
    std::vector<RawDifference> raw;
    bool same() const { return !modelsDiffer && settings.empty() && raw.empty(); }
};

// Compares two records (each a settings file, or what "Read param" read).
Comparison compare(const SettingsRecord& a, const SettingsRecord& b);

// "model 13 (QLN-N2), firmware 1.7.1"
QString describeRecord(const SettingsRecord& r);
// The same of a reader as "Read param" found it.
QString describeReader(const Configuration& c);

// A setting's value as the window of this reader shows it: a list's entry in quotes ("entry N"
// where the list has no such entry), a box ticked or unticked, the open time in ms.
QString settingText(const SettingRow& r, const Configuration& c, int v);

// What a settings file would change on a reader, in the same words: a row's value (the reader's
// or the file's), its group ("Output protocol", "Format", "Filters").
QString fitText(const FitRow& row, const Configuration& reader, int v);
QString fitGroup(const FitRow& row);
// What is said above the rows: the file was saved from another model, or from another reader
// (its adapter's serial number, where the file and the port have one).
QStringList loadWarnings(const Configuration& reader, const SettingsRecord& file);

}  // namespace device
