#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// A reader as the configurator sees it on the line: what it holds and what it answers to
// each command frame. Pure: no I/O, no threads.
namespace emu {

using Bytes = std::vector<uint8_t>;

// The command codes as the reader knows them. The emulator keeps its own, on purpose, and does
// not take the configurator's command index: it is the independent side of every test, so a
// wrong code in the configurator fails against it instead of agreeing with itself. The tests
// name commands by these.
namespace cmd {
inline constexpr uint8_t kVersion = 0x28;
inline constexpr uint8_t kParams = 0x2A;
inline constexpr uint8_t kReadFilter = 0x2B;
inline constexpr uint8_t kWriteParams = 0x1C;
inline constexpr uint8_t kSetFilter = 0x2C;
inline constexpr uint8_t kFilterCode = 0x1F;
inline constexpr uint8_t kBootEntry = 0xE0;
}  // namespace cmd

inline constexpr uint8_t kAccepted = 0x55;
inline constexpr uint8_t kRefused = 0x01;
inline constexpr uint8_t kNotMaster = 0x20;

// The filter block of a reader with every filter at its default.
std::array<uint8_t, 32> defaultFilterBlock();

struct ReaderState {
    // Firmware version V0 (least significant), V1, V2, and the model code V3.
    std::array<uint8_t, 4> version{1, 7, 1, 15};
    // Protected mode, Wiegand 26, lock, open time 1000 ms.
    std::array<uint8_t, 9> params{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
    std::array<uint8_t, 32> filters = defaultFilterBlock();
    bool masterMode = true;  // the filter block may be read and written
    bool inBootLoader = false;
};

// A reply frame: 02 07 LEN command status data... sum-low sum-high.
Bytes replyFrame(uint8_t command, uint8_t status, const Bytes& data = {});

class ReaderModel {
public:
    ReaderState state;

    // What the reader answers to a whole command frame (LEN bytes, sum not checked here).
    Bytes answer(const Bytes& frame);

    // Everything the reader accepted and stored, in order: each write request whole.
    std::vector<Bytes> writes;
};

}  // namespace emu
