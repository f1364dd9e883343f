#pragma once

#include <cstdint>
#include <optional>

// The readers the configurator knows, by the model code of their version reply, and everything
// that differs between them. Every model-dependent decision of the program reads a column of
// this table; adding a model is adding a row.
namespace device {

inline constexpr uint8_t kNoModel = 255;  // `Device` while no model is identified
inline constexpr uint8_t kHighestModelCode = 16;

// The boot loader generation a programming run starts with: "PROG pgm" unticked (old-type),
// ticked (new-type), or left as the user set it.
enum class ProgPgm { Unchecked, Checked, Unchanged };

// How the sheets are laid out, and what "Read param" reads after the version.
enum class Layout {
    Classic,      // the protocol list sized by the firmware version; the short parameter write
    ShortBlock,   // the parameter block decoded in its short form; no filter write
    FilterCodes,  // configured by filter codes: no parameter block to read
    LongForm,     // the open time and the lock, read and written in the long form
};

// How the firmware version sizes the protocol list and picks the option boxes.
enum class ProtocolRule {
    Fixed5,       // five entries, no option box
    Fixed7,       // seven entries
    ByVersionM,   // five or six entries, parity and conversion boxes by the version's low part
    ByVersionQ2,  // five or six entries, pulse and conversion boxes by the version
};

// The form "Set filter" writes.
enum class FilterWrite {
    Unsupported,     // "This command is not supported by this device."
    Codes,           // one filter code a frame
    Automatic,       // the automatic request only
    AutoOrExplicit,  // the automatic request, or with "Avto set filter" unticked the full frame
};

// The entries of the second protocol list.
enum class SecondList {
    Standard,  // "Avto", "One TM", "------", "Wiegand"
    Serial,    // the third entry is the serial output, with its "Rs485/Rs232" box
};

struct ModelRow {
    const char* logName;  // after "model: "
    const char* caption;  // of the device label
    uint8_t device;       // what `Device` becomes
    ProgPgm progPgm;      // the boot loader generation the run starts with
    bool named;           // false for the codes without a model ("No model")
    Layout layout;
    ProtocolRule protocolRule;
    bool fullBits;   // takes the lock, reverse, parity, code type and conversion bits, and
                     // converts the open time before a write
    bool longWrite;  // writes seven parameter bytes (with the open time), not three
    FilterWrite filterWrite;
    bool readsFilters;     // "Read param" reads the filter block in protected mode
    uint8_t zeroPolarity;  // 0: Zero's bit set means checked; 1: clear means checked
    bool keyManagement;    // "Data_1 as key management" and the master key line
    SecondList secondList;
};

// The row of a model code from 0 to 16; none above 16.
std::optional<ModelRow> modelRow(uint8_t code);

// The row a `Device` value stands for: the unnamed row for kNoModel.
const ModelRow& model(uint8_t device);

// How the firmware version sizes the protocol list and which option boxes it shows.
struct FirmwareRules {
    uint8_t protocolEntries = 5;
    bool parityBox = false;   // "Wiegand without parity", shown and unchecked
    bool convertBox = false;  // "Convert for H7120"
    bool pulseBox = false;    // "Pulse + only TM"
};
FirmwareRules firmwareRules(ProtocolRule rule, uint8_t v0, uint8_t v1);

}  // namespace device
