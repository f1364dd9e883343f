#pragma once

#include <cstdint>

// The entries of the three lists of the "Output protocol" sheet. An entry's index is what the
// reader stores in its parameter block.
namespace device {

inline constexpr int kMaxProtocolEntries = 7;

// Output protocol names, with parity bits and without them (two bits fewer).
inline constexpr const char* kProtocolWithParity[kMaxProtocolEntries] = {
    "Factory settings", "Wiegand 26", "Wiegand 34",   "Wiegand 42",
    "Wiegand 50",       "Wiegand 58", "Wiegand 34/58"};
inline constexpr const char* kProtocolWithoutParity[kMaxProtocolEntries] = {
    "Factory settings", "Wiegand 24", "Wiegand 32",   "Wiegand 40",
    "Wiegand 48",       "Wiegand 56", "Wiegand 34/58"};

inline constexpr const char* kSecondProtocolEntries[4] = {"Avto", "One TM", "------", "Wiegand"};
inline constexpr const char* kSecondProtocolEntriesModel6[4] = {"Avto", "One TM", "Rs485(232)",
                                                                "Wiegand"};
inline constexpr uint8_t kSecondProtocolSerial = 2;  // the entry that shows "Rs485/Rs232"

inline constexpr const char* kTypeCodeEntries[4] = {"Direct transmission", "RdAll format",
                                                    "7UID to 6UID", "7UID reverse"};

}  // namespace device
