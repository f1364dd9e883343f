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

Bytes requestFrame(uint8_t header, uint8_t command, const Bytes& data) {
    Bytes f(data.size() + 6);
    comlink::buildFrame(f.data(), header, command, data.data(), data.size());
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
