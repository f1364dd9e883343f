#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "device/model_table.h"
#include "filters/filter_block.h"

// A reader's settings as data: what the "Output protocol" and "Format" sheets and the filter boxes
// hold, each option under the name of its control. Those names are the stable keys by which
// scripts and settings files name a setting.
namespace device {

inline constexpr uint8_t kProtocolUndefined = 255;  // a block whose protocol bits are all set

struct OutputSettings {
    uint8_t protocol = 0;   // the entry of cbTypeProt; kProtocolUndefined: not defined
    uint8_t protocol2 = 0;  // the entry of cbTypeProt2
    uint8_t typecode = 0;   // the entry of cobTypeCode
    bool cbWgParityNo = false;
    bool cbBcc7Uid = false;
    bool cbRs485_232 = false;
    bool cbPulseOnlyTm = false;
    bool cbLock = false;
    bool cbPolLock = false;
    bool cbRestrictTm = false;
    bool cbReverseCode = false;
    bool cbHidAnalisis = false;
    int openTimeMs = 0;  // edTimeOpen

    bool operator==(const OutputSettings&) const = default;
};

// The settings of the parameter block, one row each: everything the program knows of a setting
// is a column here, and the block's decode and encode, fit(), compare, the read-back, the
// settings file, read --json and the completion of --set all read these columns. A new option box
// is a row (and its widget on the window).

// The sheet of the window a setting sits on.
enum class Sheet { Output, Format };
const char* sheetCaption(Sheet s);  // "Output protocol", "Format"

// Which models' "Write param" carries a setting.
enum class Carry {
    Always,     // every model's
    FullBits,   // the models that take the full bits
    ShortBits,  // the others
    LongWrite,  // the long form only
};

// What kind of control shows a setting, and so how its value reads as text.
enum class Shows {
    ProtocolList,  // cbTypeProt: the protocol names, without parity bits where that box is ticked
    SecondList,    // cbTypeProt2: the standard entries or the serial ones
    TypeCodeList,  // cobTypeCode
    Box,           // ticked or unticked
    Milliseconds,  // the open time
};

// Bits of the 9-byte block: width bits from bit shift of byte (16 bits: that byte and the next,
// low byte first).
struct BlockBits {
    uint8_t byte = 0;
    uint8_t shift = 0;
    uint8_t width = 0;
    uint32_t from(const uint8_t* block) const;
    void into(uint8_t* block, uint32_t value) const;  // ORed in
    uint8_t mask(std::size_t i) const;                // its bits of byte i
};

struct SettingRow {
    const char* name;     // the control's name: the key of --set, compare and read --json
    const char* key;      // the settings file's key
    const char* caption;  // on the window
    Sheet sheet;
    Shows shows;
    BlockBits bits;  // where the write puts it and, but for readAs, where a read finds it
    Carry carry;
    // Sent only while the window shows it: hidden, the write sends it unticked, and "Read param"
    // counts its bit only where it is shown.
    bool onlyWhileShown = false;
    // Read from other bits than it is written to: the box reads as ticked where these bits hold
    // readEquals (the pulse box is written as bit 3 and reads as the second list's "One TM").
    BlockBits readAs{};
    uint8_t readEquals = 0;
    int unit = 1;     // the block counts the value in these (the open time in 100 ms)
    int fileMax = 0;  // the largest value a settings file may hold; 0 for a box
    bool OutputSettings::*member = nullptr;    // a box's state
    uint8_t OutputSettings::*entry = nullptr;  // a list's entry
    int OutputSettings::*number = nullptr;     // a number

    bool carriedBy(const ModelRow& m) const;
    // Its value as a block holds it, as "Read param" reads it.
    int read(const uint8_t* block) const;
    // Whether a block holds this value as written: it reads back as itself (a protocol of 7 reads
    // as not defined, one of 8 as 0).
    bool keeps(int value) const;
    int value(const OutputSettings& s) const;
    void set(OutputSettings& s, int v) const;
};

inline constexpr int kOpenTimeUnitMs = 100;  // the open time counts in these
inline constexpr int kLongestOpenTimeMs = 0xFFFF * kOpenTimeUnitMs;

// clang-format off
inline constexpr auto kSettings = std::to_array<SettingRow>({
    // The lists.
    {.name = "cbTypeProt", .key = "protocol", .caption = "Type protocol",
     .sheet = Sheet::Output, .shows = Shows::ProtocolList, .bits = {1, 0, 3}, .carry = Carry::Always,
     .fileMax = 255, .entry = &OutputSettings::protocol},
    {.name = "cobTypeCode", .key = "typecode", .caption = "Type code",
     .sheet = Sheet::Output, .shows = Shows::TypeCodeList, .bits = {3, 0, 2}, .carry = Carry::FullBits,
     .fileMax = 3, .entry = &OutputSettings::typecode},
    {.name = "cbTypeProt2", .key = "protocol2", .caption = "Avto, Tm, Wg, Uart",
     .sheet = Sheet::Output, .shows = Shows::SecondList, .bits = {1, 3, 2}, .carry = Carry::Always,
     .fileMax = 3, .entry = &OutputSettings::protocol2},
    // The option boxes, in the order the window's code lists them (kOptionKeys).
    {.name = "cbWgParityNo", .key = "cbWgParityNo", .caption = "Wiegand without parity",
     .sheet = Sheet::Output, .shows = Shows::Box, .bits = {2, 3, 1}, .carry = Carry::FullBits,
     .member = &OutputSettings::cbWgParityNo},
    {.name = "cbBcc7Uid", .key = "cbBcc7Uid", .caption = "Convert for H7120",
     .sheet = Sheet::Output, .shows = Shows::Box, .bits = {3, 2, 1}, .carry = Carry::FullBits,
     .onlyWhileShown = true, .member = &OutputSettings::cbBcc7Uid},
    {.name = "cbRs485_232", .key = "cbRs485_232", .caption = "Rs485/Rs232",
     .sheet = Sheet::Output, .shows = Shows::Box, .bits = {2, 4, 1}, .carry = Carry::Always,
     .member = &OutputSettings::cbRs485_232},
    {.name = "cbPulseOnlyTm", .key = "cbPulseOnlyTm", .caption = "Pulse + only TM",
     .sheet = Sheet::Output, .shows = Shows::Box, .bits = {1, 3, 1}, .carry = Carry::FullBits,
     .onlyWhileShown = true, .readAs = {1, 3, 2}, .readEquals = 1,
     .member = &OutputSettings::cbPulseOnlyTm},
    {.name = "cbLock", .key = "cbLock", .caption = "Lock",
     .sheet = Sheet::Output, .shows = Shows::Box, .bits = {1, 6, 1}, .carry = Carry::FullBits,
     .member = &OutputSettings::cbLock},
    {.name = "cbPolLock", .key = "cbPolLock", .caption = "Polarity lock",
     .sheet = Sheet::Output, .shows = Shows::Box, .bits = {1, 7, 1}, .carry = Carry::FullBits,
     .member = &OutputSettings::cbPolLock},
    {.name = "cbRestrictTm", .key = "cbRestrictTm", .caption = "restriction TM: size TM = size Wiegand",
     .sheet = Sheet::Format, .shows = Shows::Box, .bits = {2, 0, 1}, .carry = Carry::Always,
     .member = &OutputSettings::cbRestrictTm},
    {.name = "cbReverseCode", .key = "cbReverseCode", .caption = "Reverse code",
     .sheet = Sheet::Format, .shows = Shows::Box, .bits = {2, 2, 1}, .carry = Carry::FullBits,
     .member = &OutputSettings::cbReverseCode},
    {.name = "cbHidAnalisis", .key = "cbHidAnalisis", .caption = "size Hid",
     .sheet = Sheet::Format, .shows = Shows::Box, .bits = {2, 1, 1}, .carry = Carry::ShortBits,
     .member = &OutputSettings::cbHidAnalisis},
    // The open time, in ms on the window and in the file, in 100 ms in the block.
    {.name = "edTimeOpen", .key = "openTimeMs", .caption = "Time open mSec",
     .sheet = Sheet::Output, .shows = Shows::Milliseconds, .bits = {5, 0, 16}, .carry = Carry::LongWrite,
     .unit = kOpenTimeUnitMs, .fileMax = kLongestOpenTimeMs, .number = &OutputSettings::openTimeMs},
});
// clang-format on

// The option boxes: the rows of kSettings that are boxes, which follow one another.
constexpr std::size_t firstOption() {
    std::size_t i = 0;
    while (kSettings[i].shows != Shows::Box) ++i;
    return i;
}
constexpr std::size_t optionCount() {
    std::size_t n = 0;
    for (const SettingRow& r : kSettings) n += r.shows == Shows::Box;
    return n;
}
using OptionKey = SettingRow;
inline constexpr std::span<const SettingRow, optionCount()> kOptionKeys{
    kSettings.data() + firstOption(), optionCount()};
static_assert([] {
    for (const SettingRow& r : kOptionKeys)
        if (r.shows != Shows::Box) return false;
    return true;
}());

// A value as the window's control shows it: a list's entry (empty where the list, as shown, has
// none), "ticked" or "unticked", "1500 ms".
struct ShownControls;
// Whether the window shows the setting's control after "Read param" showed these controls.
bool shownIn(const SettingRow& r, const ShownControls& shown);
QString boxText(bool checked);  // a box's or a filter box's state
QString valueText(const SettingRow& r, int value, const ShownControls& shown, bool withoutParity);

// "Factory Settings": the lists back to their first entries (the boxes and the open time stay);
// "Write param" then sends them.
void factorySettings(OutputSettings& s);

// The row of a control name or a file key; none for another.
const SettingRow* settingRow(std::string_view nameOrKey);

// The 9-byte parameter block decoded: its mode and output settings.
struct ParamDecode {
    uint8_t mode = 0;         // bits 0 to 6 of byte 0
    bool masterKey = false;   // bit 7 of byte 0
    OutputSettings settings;  // every field, whether or not the model shows it
};
ParamDecode decodeParamBlock(const uint8_t* block);

// The controls the window shows for a reader after "Read param": its lists and their entries,
// the open time and the option boxes. The window keeps them from one reader to the next where a
// layout does not set them, so they follow from what it showed before.
struct ShownControls {
    bool protocolList = true;   // cbTypeProt is shown
    int protocolCount = 0;      // the entries it holds
    int protocol2Entries = 0;   // entries of cbTypeProt2
    bool secondSerial = false;  // cbTypeProt2's third entry is the serial output
    bool openTime = false;      // edTimeOpen
    std::array<bool, kOptionKeys.size()> options{};  // in the order of kOptionKeys
    // The entries a user can choose in cbTypeProt: none while it is hidden.
    int protocolEntries() const { return protocolList ? protocolCount : 0; }
    bool operator==(const ShownControls&) const = default;
};
// A fresh window's controls.
ShownControls freshWindow();
// What the window shows after "Read param" of a reader of model m with firmware v0.v1, from
// what it showed before: protocol2 is the block's second protocol where a parameter block was
// read (the serial box shows beside its third entry); filtersRead, whether the filter block was
// read (its display hides the open time).
ShownControls shownControls(const ShownControls& before, const ModelRow& m, uint8_t v0, uint8_t v1,
                            std::optional<uint8_t> protocol2, bool filtersRead);
// The same in a fresh window.
ShownControls shownControls(const ModelRow& m, uint8_t v0, uint8_t v1,
                            std::optional<uint8_t> protocol2 = 0, bool filtersRead = false);

// Which option boxes the model's parameter write carries, in the order of kOptionKeys; the lists
// always go (the code type only with the full bits), the open time only in the long form.
std::array<bool, kOptionKeys.size()> writtenOptions(const ModelRow& m);

// The entries of the lists as the window holds them after "Read param": the protocol names
// without parity bits where the parity box ended up checked.
const char* protocolEntry(int index, bool withoutParity);
const char* protocol2Entry(int index, bool serial);

// The filter boxes by their control names and captions, in the order of filters::Box.
struct FilterKey {
    const char* name;
    const char* caption;
};
inline constexpr std::array<FilterKey, filters::kBoxCount> kFilterKeys{{
    {"cbFilter1", "Filter 1"},
    {"cbFilter2", "Filter 2"},
    {"cbFilter2Exception", "Filter 2 Exc"},
    {"cbZero", "Zero"},
    {"cbOTP1", "OTP 1"},
    {"cbOTP2", "OTP 2"},
    {"cbMF3", "MF3"},
    {"cbOTP2Plus", "OTP 2 Plus"},
    {"cbSmKey", "SMK"},
    {"cbSmKeyPlus", "SMK Plus"},
    {"cbCounter", "Counter"},
    {"cbCounterDelete", "cDelete"},
    {"cbCounterMake", "cMake"},
    {"cbVantis", "Only Vantis"},
    {"cbMPlus", "Only MPlus"},
    {"cbLocalFilterEn", "Local filter EN"},
    {"cbAllowAllLocalFilterWork", "Allow all local filers to work independently"},
}};
// The boxes whose click runs the rules again.
inline constexpr std::array<filters::Box, 5> kFilterTriggers{
    filters::Counter, filters::Filter1, filters::Filter2, filters::Mf3, filters::Otp2};

// The name scripts and tests written before the filter boxes had one type use.
using FilterChoice = filters::BoxStates;

// The rules that tie the filter boxes together, over a choice: Filter 2 clears Filter 1, Filter 1
// clears Filter 2 and its exception, and an option box is usable only beside the box it belongs
// to. enabled is what each rule decides; a box no rule decides keeps whatever state it had.
struct FilterRules {
    filters::BoxStates checked{};
    std::array<std::optional<bool>, filters::kBoxCount> enabled{};
};
FilterRules applyFilterRules(const filters::BoxStates& choice);
// Whether each box takes a click after "Read param" showed this choice: what the rules decide,
// and otherwise as the filter defaults left it (Filter 2 Exc held, the others free).
std::array<bool, filters::kBoxCount> filterEnabled(const filters::BoxStates& choice);

// The choice a filter block shows once the rules have run; tp is the model's polarity of Zero.
filters::BoxStates decodeFilterBlock(const uint8_t* block, uint8_t tp);

// The filter boxes a model shows after "Read param" (all of them where it reads its filters).
std::array<bool, filters::kBoxCount> offeredFilters(const ModelRow& m);

}  // namespace device
