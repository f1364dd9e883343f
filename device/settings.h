#pragma once

#include <array>
#include <cstdint>
#include <optional>

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

// The option boxes of OutputSettings by their control names.
struct OptionKey {
    const char* name;
    const char* caption;  // the box's caption on the window
    bool OutputSettings::*member;
};
inline constexpr std::array<OptionKey, 9> kOptionKeys{{
    {"cbWgParityNo", "Wiegand without parity", &OutputSettings::cbWgParityNo},
    {"cbBcc7Uid", "Convert for H7120", &OutputSettings::cbBcc7Uid},
    {"cbRs485_232", "Rs485/Rs232", &OutputSettings::cbRs485_232},
    {"cbPulseOnlyTm", "Pulse + only TM", &OutputSettings::cbPulseOnlyTm},
    {"cbLock", "Lock", &OutputSettings::cbLock},
    {"cbPolLock", "Polarity lock", &OutputSettings::cbPolLock},
    {"cbRestrictTm", "restriction TM: size TM = size Wiegand", &OutputSettings::cbRestrictTm},
    {"cbReverseCode", "Reverse code", &OutputSettings::cbReverseCode},
    {"cbHidAnalisis", "size Hid", &OutputSettings::cbHidAnalisis},
}};

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

// Which filter box is checked, in the order of filters::Box.
using FilterChoice = std::array<bool, filters::kBoxCount>;

// The rules that tie the filter boxes together, over a choice: Filter 2 clears Filter 1, Filter 1
// clears Filter 2 and its exception, and an option box is usable only beside the box it belongs
// to. enabled is what each rule decides; a box no rule decides keeps whatever state it had.
struct FilterRules {
    FilterChoice checked{};
    std::array<std::optional<bool>, filters::kBoxCount> enabled{};
};
FilterRules applyFilterRules(const FilterChoice& choice);
// Whether each box takes a click after "Read param" showed this choice: what the rules decide,
// and otherwise as the filter defaults left it (Filter 2 Exc held, the others free).
std::array<bool, filters::kBoxCount> filterEnabled(const FilterChoice& choice);

// The choice a filter block shows once the rules have run; tp is the model's polarity of Zero.
FilterChoice decodeFilterBlock(const uint8_t* block, uint8_t tp);

// The filter boxes a model shows after "Read param" (all of them where it reads its filters).
std::array<bool, filters::kBoxCount> offeredFilters(const ModelRow& m);

}  // namespace device
