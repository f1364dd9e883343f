#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "device/settings.h"

class QString;

// The reader's 9-byte parameter block as "Write param" sets it: bytes 1 to 3, or 1 to 7 in the
// long form, from the settings, each at the bits of its row of kSettings.
namespace device {

inline constexpr uint8_t kModeBits = 0x7F;    // of byte 0; bit 7 is the master key
inline constexpr uint8_t kModeProtected = 1;  // the mode in kModeBits

// The mode's name ("reader", "protected", "your key"); otherwise for a mode without one.
QString modeName(uint8_t mode, const QString& otherwise);

using ParamBlock = std::array<uint8_t, 9>;

// The block once the reader took the model's write of these settings over base: the bytes the
// write carries are the settings' (pulse and conversion count as given: the window passes them
// only while their boxes are shown), the others base's. openTime in the reader's units.
ParamBlock writtenBlock(const ModelRow& m, const OutputSettings& s, uint16_t openTime,
                        const ParamBlock& base = {});

// The open time in the reader's units of 100 ms: divided by 100 toward zero, kept to 16 bits, 0
// becoming 1.
uint16_t openTimeUnits(int ms);
// The same from the text of the open-time field; none when the text is not an integer.
std::optional<uint16_t> openTimeUnits(const QString& text);

// The whole request frame into out (13 bytes at most), long or short as the model writes it;
// returns its length, 9 or 13.
int buildParamWrite(uint8_t* out, uint8_t device, const OutputSettings& s, uint16_t openTime);

}  // namespace device
