#include "tools/emulator/describe.h"

#include <algorithm>

#include "firmware/boot_protocol.h"
#include "link/frame.h"

namespace emu {

namespace {

std::string commandName(uint8_t c, const Bytes& f) {
    switch (c) {
        case cmd::kVersion:
            return "version request";
        case cmd::kParams:
            return "parameter request";
        case cmd::kReadFilter:
            return "read-filter request";
        case cmd::kWriteParams:
            return f.size() > 9 ? "parameter write (long form)" : "parameter write";
        case cmd::kSetFilter:
            return f.size() > 7 ? "explicit filter frame" : "automatic filter request";
        case cmd::kFilterCode:
            return "filter code " + std::to_string(f.size() > 4 ? f[4] : 0);
        case cmd::kBootEntry:
            return "boot entry request";
        default:
            return "command " + std::to_string(c);
    }
}

std::string statusName(uint8_t s) {
    switch (s) {
        case kAccepted:
            return "accepted";
        case kNotMaster:
            return "refused (0x20)";
        default:
            return "refused";
    }
}

bool same(const Bytes& b, const std::array<uint8_t, 4>& a) {
    return b.size() == a.size() && std::equal(b.begin(), b.end(), a.begin());
}

}  // namespace

std::string describe(Direction d, const Bytes& b, bool bootLoader) {
    if (b.empty()) return "";
    if (bootLoader) {
        if (d == Direction::ToReader) {
            if (same(b, firmware::kEndFrame)) return "boot: end frame";
            if (same(b, firmware::kProgRequest)) return "boot: PROG request";
            if (b.size() == static_cast<std::size_t>(firmware::kOldBlockLen) &&
                b[0] == firmware::kOldBlockCommand)
                return "boot: old-type block " + std::to_string(b[2]);
            if (b.back() == firmware::kSlipEnd) return "boot: new-type block";
            return "boot: unknown packet";
        }
        if (b.size() >= 10 && firmware::isBlockRequest(b.data()))
            return "boot: asks for block " + std::to_string(firmware::requestedBlock(b.data()));
        if (b.size() == 4 && firmware::chkCRC8(b.data(), 4) == 0) {
            switch (b[0]) {
                case firmware::kNak:
                    return "boot: NAK";
                case firmware::kAccepted:
                    return "boot: accepted";
                case firmware::kAcceptedStopNext:
                    return "boot: accepted, stop after next";
                case firmware::kAcceptedNewType:
                    return "boot: accepted, new type from now on";
                default:
                    return "boot: status " + std::to_string(b[0]);
            }
        }
        return "boot: garbled reply";
    }
    if (b.size() < 6 || b[0] != comlink::kFrameStart || b[2] != b.size()) return "not a frame";
    if (!comlink::replySumValid(b.data())) return "frame with a wrong sum";
    if (d == Direction::ToReader) return commandName(b[3], b);
    return "reply to " + commandName(b[3], b) + ": " + statusName(b[4]);
}

}  // namespace emu
