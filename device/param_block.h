#pragma once

#include <cstdint>
#include <optional>

#include "device/settings.h"

class QString;

// The reader's 9-byte parameter block: what its bytes mean, and the write request that sets
// bytes 1 to 3 (bytes 1 to 7 in the long form) from the settings.
namespace device {

inline constexpr uint8_t kModeProtected = 1;  // the mode in bits 0 to 6 of byte 0
inline constexpr int kOpenTimeUnitMs = 100;   // the open time counts in these

struct ParamBytes {
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    uint8_t p3 = 0;
};

// Bytes 1 to 3 of the block from the settings, as the model writes them (pulse and conversion
// count as given: the window passes them only while their boxes are shown).
ParamBytes composeParams(uint8_t device, const OutputSettings& s);

// The open time in the reader's units of 100 ms, from the text of the open-time field: the
// integer divided by 100 toward zero, kept to 16 bits, 0 becoming 1. None when the text is not
// an integer.
std::optional<uint16_t> openTimeUnits(const QString& text);

// The whole request frame into out (13 bytes at most), long or short as the model writes it;
// returns its length, 9 or 13.
int buildParamWrite(uint8_t* out, uint8_t device, const ParamBytes& p, uint16_t openTime);

}  // namespace device
