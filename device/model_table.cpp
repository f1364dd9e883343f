#include "device/model_table.h"

namespace device {
namespace {

using enum Layout;
using enum ProtocolRule;
using enum FilterWrite;
using enum SecondList;
constexpr ProgPgm kOld = ProgPgm::Unchecked;
constexpr ProgPgm kNew = ProgPgm::Checked;

// Codes 3, 5, 8 and 9 name no model: laid out as the classic readers, but "Write param" and
// "Set filter" are refused for want of an identified reader.
constexpr ModelRow kUnnamed{"No model", "Device: unknown", kNoModel, ProgPgm::Unchanged,
                            false,      Classic,           Fixed5,   false,
                            false,      Unsupported,       false,    1,
                            false,      Standard};

// clang-format off
constexpr ModelRow kRows[kHighestModelCode + 1] = {
    // log name    caption               dev  boot  named layout       protocol list  full  long  filter write     reads  Zero  key   second list
    {"QLN-M1",    "Device: QLN-M1",     0,  kOld, true, Classic,     Fixed7,        true, false, Unsupported,    false, 1, false, Standard},
    {"Torvik-M2", "Device: Torvik-M2",  1,  kOld, true, Classic,     ByVersionM,    true, false, Unsupported,    true,  1, false, Standard},
    {"Torvik-M3", "Device: Torvik-M3",  2,  kOld, true, Classic,     ByVersionM,    true, false, Unsupported,    true,  1, false, Standard},
    kUnnamed,
    {"QLN-M2",    "Device: QLN-M2",     4,  kOld, true, Classic,     ByVersionQ2,   true, false, Automatic,      false, 1, false, Standard},
    kUnnamed,
    {"QLN-E1",    "Device: QLN-E1",     6,  kOld, true, ShortBlock,  Fixed5,        false, false, Unsupported,   false, 1, false, Serial},
    {"Torvik-E6", "Device: Torvik-E6",  7,  kOld, true, ShortBlock,  Fixed5,        false, false, Unsupported,   false, 1, false, Standard},
    kUnnamed,
    kUnnamed,
    {"Vexa-UM",   "Device: Vexa-UM",    10, kNew, true, FilterCodes, Fixed5,        false, false, Codes,         false, 1, false, Standard},
    {"Vexa-M",    "Device: Vexa-M",     11, kNew, true, FilterCodes, Fixed5,        false, false, Codes,         false, 1, false, Standard},
    // The UC reader names itself but shares the label of the UM.
    {"Vexa-UC",   "Device: Vexa-UM",    12, kNew, true, FilterCodes, Fixed5,        false, false, Unsupported,   false, 1, false, Standard},
    {"QLN-N2",    "Device: QLN-N2",     13, kNew, true, LongForm,    Fixed5,        true, true,   AutoOrExplicit, false, 1, false, Standard},
    {"Torvik-K2", "Device: Torvik-K2",  14, kNew, true, LongForm,    Fixed5,        true, true,   AutoOrExplicit, false, 1, false, Standard},
    {"Torvik-N3", "Device: Torvik-N3",  15, kNew, true, LongForm,    Fixed5,        true, true,   AutoOrExplicit, true,  0, true,  Standard},
    {"QLN-N3",    "Device: QLN-N3",     16, kNew, true, LongForm,    Fixed5,        true, true,   AutoOrExplicit, true,  0, true,  Standard},
};
// clang-format on

}  // namespace

std::optional<ModelRow> modelRow(uint8_t code) {
    if (code > kHighestModelCode) return std::nullopt;
    return kRows[code];
}

const ModelRow& model(uint8_t device) {
    if (device > kHighestModelCode) return kUnnamed;
    return kRows[device];
}

FirmwareRules firmwareRules(ProtocolRule rule, uint8_t v0, uint8_t v1) {
    FirmwareRules r;
    switch (rule) {
        case Fixed5:
            break;
        case Fixed7:
            r.protocolEntries = 7;
            break;
        case ByVersionM:
            r.protocolEntries = v0 < 7 ? 5 : 6;
            r.parityBox = v0 >= 10;
            r.convertBox = v0 >= 11;
            break;
        case ByVersionQ2:
            if (v1 == 7 || v0 > 22) {
                r.protocolEntries = 6;
                r.pulseBox = true;
            }
            r.convertBox = v1 == 7 || v0 >= 28;
            break;
    }
    return r;
}

}  // namespace device
