#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "device/reader.h"
#include "device/settings.h"
#include "device/settings_file.h"

// What a reader holds after "Read param", in one place for both fronts: who it is, the blocks it
// sent, the settings and filters as the window holds them, the controls the window shows for
// them, the write request for the settings and the block the reader holds once it took it, and
// whether a settings file fits it. The window holds one and draws its controls from it, each
// click changing it; torvik-cli works on it alone.
namespace device {

// "Read param" from the first request to the backup, as both fronts run it.
struct ReadOptions {
    // Asked between two steps: true ends the read there (a signal to the command line).
    std::function<bool()> stop;
    // Where a read that brought a parameter block is backed up; none: not backed up (the quiet
    // read-back after a write).
    BackupWriter* backups = nullptr;
    QString port;  // the port's name, in the backup's file name
    BackupWriter::Done backedUp;
    // The controls shown before the read: the window's own (it keeps what earlier readers
    // showed), a fresh window's by default.
    std::optional<ShownControls> before;
    QString adapterSerial;  // the serial number of the port's adapter, where it has one
};

struct Configuration {
    Identity who;
    // A reply from the reader's boot loader instead of its version: the reader waits there.
    std::optional<BootLoaderAnswer> bootLoader;
    std::optional<ParamRead> params;    // asked for where the model has a parameter block
    std::optional<FilterRead> filters;  // asked for in protected mode where the model reads them
    OutputSettings settings;            // the window's choices, as "Read param" set them
    filters::BoxStates filterChoice{};  // the filter boxes
    std::array<bool, filters::kBoxCount> filtersShown{};
    std::array<bool, filters::kBoxCount> filterEnabled{};  // which filter box takes a click
    ShownControls shown;
    bool withoutParity = false;  // the protocol list's names without parity bits
    QString adapterSerial;       // of the port's adapter it was read through, where it has one

    const ModelRow& row() const;  // the unnamed row while no model is known
    uint8_t device() const { return who.row ? who.row->device : kNoModel; }
    bool paramsRead() const { return params && params->reply == comlink::Reply::Accepted; }
    bool filtersRead() const { return filters && filters->reply == comlink::Reply::Accepted; }
    // Every step this model takes went through, for a named model: "Write param" is enabled.
    bool complete() const;

    // Whether the model's write sends this setting as it is: its write carries it at all, and a
    // box that goes only while shown (pulse, conversion) is shown (hidden, it goes unticked).
    bool carries(const SettingRow& r) const;
    // The open time in the reader's units as "Write param" converts it (0 where the model does
    // not convert it).
    uint16_t openTimeUnits() const;
    // "Write param"'s request for the settings.
    std::vector<uint8_t> writeRequest() const;
    // The settings as the write sends them: the pulse and conversion boxes unticked while hidden.
    OutputSettings sentSettings() const;
    OutputSettings heldChoices() const { return sentSettings(); }  // its earlier name
    // The parameter block once the reader took that write: the bytes it carries over the block
    // read.
    std::array<uint8_t, comlink::cmd::kParams.replyData> blockAfterWrite() const;
    // The settings that block holds, as "Read param" reads them: what a settings file records
    // and what the command line reports, so that a reader cloned from another reads as it.
    OutputSettings settingsAfterWrite() const;
    OutputSettings heldSettings() const { return settingsAfterWrite(); }  // its earlier name
    // The settings file of this reader: the held settings, the filter boxes where the filter
    // block was read, the blocks read as a record.
    SettingsRecord record() const;

    // A click on a list entry or a box, as the window's change handlers take it: the serial box
    // shows beside the second list's third entry, the parity box renames the protocol list, the
    // filter rules run after a click on one of their boxes.
    void chooseProtocol2(uint8_t index);
    void setOption(std::size_t key, bool checked);
    void clickFilter(filters::Box box, bool checked);
    // The filter rules over the filter boxes as they are; what they decided.
    FilterRules runFilterRules();
};

// What follows from the replies of "Read param", in a window that showed before what before
// holds. The filter block is taken only where it was asked for.
Configuration configurationOf(const Identity& who, const std::optional<ParamRead>& params,
                              const std::optional<FilterRead>& filters,
                              const ShownControls& before);

// "Read param": the version, the layout for the model, the parameter block, the filter block
// where the model reads it in protected mode, and the backup of what was read. The reader layer
// logs each step as the window's log shows it.
Configuration readConfiguration(Reader& reader, const ReadOptions& options = {});

// One setting in which a settings file differs from what the reader holds, and what putting
// the file onto the reader does with it.
struct FitRow {
    enum class Take {
        Apply,    // the reader takes the file's value
        Refused,  // the reader cannot take it: nothing may be written while it is chosen
        Skipped,  // another model's value this one cannot take: left out
        Record,   // this model's write does not carry it: kept in the file as a record
    };
    const SettingRow* setting = nullptr;  // a setting of the parameter block; none: a filter box
    int box = -1;                         // the filter box
    int reader = 0;                       // the value the reader holds
    int file = 0;                         // the file's
    Take take = Take::Apply;
    QString why;                  // Refused, Skipped: the reason
    bool beyondList = false;      // Apply: beyond the configurator's list, as the reader keeps it
    const char* name() const;     // the control's name
    const char* caption() const;  // its caption on the window
};

// A settings file put onto a reader: what is applied, what the reader cannot take (each named
// with its reason), and what stays in the file as a record because the model's write does not
// carry it. Both fronts judge a file by it alone.
struct Fit {
    bool otherModel = false;    // the file is of another model
    bool modelRefused = false;  // another model's file, not allowed: nothing fits
    QStringList refused;        // values the reader cannot take: nothing may be written
    QStringList skipped;        // another model's values this one cannot take, left out
    QStringList record;         // not carried by this model's write
    // List values beyond the configurator's list, from a file of this model and firmware: applied
    // as the reader's write keeps them.
    QStringList beyondList;
    OutputSettings settings;                    // the reader's settings with the file's applied
    std::optional<filters::BoxStates> filters;  // the file's filters, where they are applied
    std::vector<FitRow> rows;                   // each setting that differs, in the table's order
    bool fits() const { return !modelRefused && refused.isEmpty(); }
    // The settings it would change on the reader.
    int changes() const;
};
// The settings the reader keeps in shared bits, so that one is taken only with the other: the
// pulse box reads as the second list's "One TM", and the reader runs Filter 1 wherever Filter 2
// is clear. The other of the pair, or none.
const char* takenWith(const char* name);

// Which settings of the file to take, by control name; every one where none is given. Taking
// one of a pair above takes both.
using TakeSetting = std::function<bool(const char* name)>;
// A setting not taken stays as the reader holds it, and is not named in the fit at all.
Fit fit(const Configuration& reader, const SettingsRecord& file, bool allowOtherModel = false,
        const TakeSetting& take = {});

}  // namespace device
