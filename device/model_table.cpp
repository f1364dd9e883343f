#include "device/model_table.h"

namespace device {
namespace {

constexpr ModelRow kUnnamed{"No model", "Device: unknown", kNoModel, ProgPgm::Unchanged, false};

constexpr ModelRow kRows[kHighestModelCode + 1] = {
    {"QLN-M1", "Device: QLN-M1", 0, ProgPgm::Unchecked, true},
    {"Torvik-M2", "Device: Torvik-M2", 1, ProgPgm::Unchecked, true},
    {"Torvik-M3", "Device: Torvik-M3", 2, ProgPgm::Unchecked, true},
    kUnnamed,
    {"QLN-M2", "Device: QLN-M2", 4, ProgPgm::Unchecked, true},
    kUnnamed,
    {"QLN-E1", "Device: QLN-E1", 6, ProgPgm::Unchecked, true},
    {"Torvik-E6", "Device: Torvik-E6", 7, ProgPgm::Unchecked, true},
    kUnnamed,
    kUnnamed,
    {"Vexa-UM", "Device: Vexa-UM", 10, ProgPgm::Checked, true},
    {"Vexa-M", "Device: Vexa-M", 11, ProgPgm::Checked, true},
    // The UC reader names itself but shares the label of the UM.
    {"Vexa-UC", "Device: Vexa-UM", 12, ProgPgm::Checked, true},
    {"QLN-N2", "Device: QLN-N2", 13, ProgPgm::Checked, true},
    {"Torvik-K2", "Device: Torvik-K2", 14, ProgPgm::Checked, true},
    {"Torvik-N3", "Device: Torvik-N3", 15, ProgPgm::Checked, true},
    {"QLN-N3", "Device: QLN-N3", 16, ProgPgm::Checked, true},
};

}  // namespace

std::optional<ModelRow> modelRow(uint8_t code) {
    if (code > kHighestModelCode) return std::nullopt;
    return kRows[code];
}

FirmwareRules firmwareRules(uint8_t device, uint8_t v0, uint8_t v1) {
    FirmwareRules r;
    switch (device) {
        case 0:
            r.protocolEntries = 7;
            break;
        case 1:
        case 2:
            r.protocolEntries = v0 < 7 ? 5 : 6;
            r.parityBox = v0 >= 10;
            r.convertBox = v0 >= 11;
            break;
        case 4:
            if (v1 == 7 || v0 > 22) {
                r.protocolEntries = 6;
                r.pulseBox = true;
            }
            r.convertBox = v1 == 7 || v0 >= 28;
            break;
        default:
            break;
    }
    return r;
}

}  // namespace device
