#include "tools/emulator/reader_model.h"

#include <algorithm>

#include "link/frame.h"

namespace emu {

Bytes replyFrame(uint8_t command, uint8_t status, const Bytes& data) {
    Bytes f(data.size() + 7);
    f[0] = comlink::kFrameStart;
    f[1] = comlink::kHeaderCommand;
    f[2] = static_cast<uint8_t>(f.size());
    f[3] = command;
    f[4] = status;
    std::copy(data.begin(), data.end(), f.begin() + 5);
    comlink::appendSum16(f.data(), f.size() - 2);
    return f;
}

std::array<uint8_t, 32> defaultFilterBlock() {
    std::array<uint8_t, 32> b{};
    b[0] = 0xAA;
    b[1] = 0x55;
    b[4] = 0x10;   // Filter 1
    b[8] = 0x02;   // OTP 1
    b[16] = 0x30;  // Zero, OTP 2 Plus
    b[17] = 0x35;  // SMK Plus, SMK, OTP 2, MF3
    return b;
}

namespace {

struct FilterKey {
    uint8_t key;
    uint8_t byte;
    uint8_t mask;
};

// Where the reader keeps each record of an explicit filter frame in its filter block.
constexpr FilterKey kFilterKeys[] = {
    {0x83, 8, 0x02},  {0x88, 18, 0x01}, {0x82, 16, 0x10}, {0x84, 17, 0x10}, {0x89, 17, 0x20},
    {0x85, 16, 0x40}, {0x86, 16, 0x80}, {0x87, 16, 0x20}, {0x90, 17, 0x04}, {0x91, 17, 0x04},
    {0x92, 17, 0x01}, {0x93, 16, 0x01}, {0x95, 16, 0x08}, {0x94, 16, 0x04}, {0x8A, 18, 0x02},
    {0x8B, 18, 0x40}, {0x8C, 18, 0x80},
};

void storeFilterRecords(std::array<uint8_t, 32>& block, const Bytes& data) {
    // data: 0x02 0xEB count, then records of key, length, value.
    for (std::size_t i = 3; i + 2 < data.size(); i += 2 + data[i + 1]) {
        for (const FilterKey& k : kFilterKeys) {
            if (k.key != data[i]) continue;
            if (data[i + 2])
                block[k.byte] |= k.mask;
            else
                block[k.byte] &= static_cast<uint8_t>(~k.mask);
        }
    }
    // The two filter modes exclude each other: without Filter 2 the reader runs Filter 1.
    if (block[16] & 0x40)
        block[4] &= static_cast<uint8_t>(~0x10);
    else
        block[4] |= 0x10;
}

}  // namespace

Bytes ReaderModel::answer(const Bytes& frame) {
    if (frame.size() < 6) return {};
    const uint8_t command = frame[3];
    const Bytes data(frame.begin() + 4, frame.end() - 2);
    switch (command) {
        case cmd::kVersion:
            return replyFrame(command, kAccepted,
                              Bytes(state.version.begin(), state.version.end()));
        case cmd::kParams:
            return replyFrame(command, kAccepted, Bytes(state.params.begin(), state.params.end()));
        case cmd::kReadFilter:
            if (!state.masterMode) return replyFrame(command, kNotMaster);
            return replyFrame(command, kAccepted,
                              Bytes(state.filters.begin(), state.filters.end()));
        case cmd::kWriteParams:
            // Parameter bytes 1 to 3, or 1 to 7 in the long form; the mode byte is never written.
            for (std::size_t i = 0; i < data.size() && i + 1 < state.params.size(); ++i)
                state.params[i + 1] = data[i];
            writes.push_back(frame);
            return replyFrame(command, kAccepted);
        case cmd::kSetFilter:
            if (!state.masterMode) return replyFrame(command, kNotMaster);
            if (!data.empty() && data[0] == 0x02) storeFilterRecords(state.filters, data);
            writes.push_back(frame);
            return replyFrame(command, kAccepted);
        case cmd::kFilterCode:
            if (!state.masterMode) return replyFrame(command, kNotMaster);
            writes.push_back(frame);
            return replyFrame(command, kAccepted);
        case cmd::kBootEntry:
            state.inBootLoader = true;
            return replyFrame(command, kAccepted);
        default:
            return replyFrame(command, kRefused);
    }
}

}  // namespace emu
