#pragma once

#include <cstdint>
#include <optional>

// The readers the configurator knows, by the model code of their version reply, and how the
// window is laid out for each.
namespace device {

inline constexpr uint8_t kNoModel = 255;  // `Device` while no model is identified
inline constexpr uint8_t kHighestModelCode = 16;

enum class ProgPgm { Unchecked, Checked, Unchanged };

struct ModelRow {
    const char* logName;  // after "model: "
    const char* caption;  // of the device label
    uint8_t device;       // what `Device` becomes
    ProgPgm progPgm;      // the boot loader generation the run starts with
    bool named;           // false for the codes without a model ("No model")
};

// The row of a model code from 0 to 16; none above 16.
std::optional<ModelRow> modelRow(uint8_t code);

// How the firmware version sizes the protocol list of models 0, 1, 2, 4 and of an unknown one,
// and which option boxes it shows.
struct FirmwareRules {
    uint8_t protocolEntries = 5;
    bool parityBox = false;   // "Wiegand without parity", shown and unchecked
    bool convertBox = false;  // "Convert for H7120"
    bool pulseBox = false;    // "Pulse + only TM"
};
FirmwareRules firmwareRules(uint8_t device, uint8_t v0, uint8_t v1);

// Models that read and write the open time and the lock in the long parameter form.
inline bool isLongFormModel(uint8_t d) {
    return d >= 13 && d <= 16;
}
// Models whose parameter block is decoded in its short form.
inline bool isShortDecodeModel(uint8_t d) {
    return d == 6 || d == 7;
}
// Models that are configured by filter codes and have no parameter block to read.
inline bool isCodeFilterModel(uint8_t d) {
    return d >= 10 && d <= 12;
}
// Models whose filter block is read in protected mode.
inline bool readsFilterBlock(uint8_t d) {
    return d == 1 || d == 2 || d == 15 || d == 16;
}

}  // namespace device
