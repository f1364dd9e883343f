#include "tools/emulator/boot_loader.h"

#include <algorithm>

#include "firmware/boot_protocol.h"

namespace emu {

Bytes bootStatus(uint8_t code) {
    Bytes r{code, 0x00, 0x00, 0x00};
    r[3] = static_cast<uint8_t>(0x100 - firmware::chkCRC8(r.data(), 3));
    return r;
}

Bytes blockRequest(uint16_t n) {
    return {'A',
            'S',
            'K',
            '1',
            0x00,
            0x00,
            0x00,
            static_cast<uint8_t>('0' + n / 100 % 10),
            static_cast<uint8_t>('0' + n / 10 % 10),
            static_cast<uint8_t>('0' + n % 10)};
}

bool unescapeBlock(const Bytes& packet, Bytes& out) {
    out.clear();
    if (packet.empty() || packet.back() != firmware::kSlipEnd) return false;
    for (std::size_t i = 0; i + 1 < packet.size(); ++i) {
        uint8_t b = packet[i];
        if (b == firmware::kSlipEnd) return false;
        if (b == firmware::kSlipEsc) {
            if (i + 2 >= packet.size()) return false;
            const uint8_t e = packet[++i];
            if (e == firmware::kSlipEscEnd)
                b = firmware::kSlipEnd;
            else if (e == firmware::kSlipEscEsc)
                b = firmware::kSlipEsc;
            else
                return false;
        }
        out.push_back(b);
    }
    return out.size() == static_cast<std::size_t>(firmware::kNewBlockData);
}

void BootLoader::askFor(int count) {
    unbounded_ = false;
    order.clear();
    for (int i = 0; i < count; ++i) order.push_back(static_cast<uint16_t>(i));
}

void BootLoader::restart() {
    // A new run starts from nothing: what an earlier run sent is not part of its image.
    image.clear();
    finished = false;
    nextInOrder_ = 0;
    blocksTaken = 0;
    current_ = 0;
}

void BootLoader::store(std::size_t offset, const uint8_t* p, std::size_t n) {
    if (image.size() < offset + n) image.resize(offset + n, 0x00);
    std::copy(p, p + n, image.begin() + static_cast<long>(offset));
}

Bytes BootLoader::askNext() {
    if (unbounded_) {
        current_ = static_cast<uint16_t>(nextInOrder_++);
        return blockRequest(current_);
    }
    if (nextInOrder_ >= order.size()) {
        finished = true;
        return blockRequest(firmware::kLastBlockRequest);
    }
    current_ = order[nextInOrder_++];
    return blockRequest(current_);
}

bool BootLoader::takeOldBlock(const Bytes& p) {
    if (p.size() != static_cast<std::size_t>(firmware::kOldBlockLen) ||
        p[0] != firmware::kOldBlockCommand || p[1] != firmware::kOldBlockCount)
        return false;
    uint8_t check[firmware::kOldBlockLen];
    std::copy(p.begin(), p.end(), check);
    firmware::getCRC16(check, firmware::kOldBlockLen - 2);
    if (check[137] != p[137] || check[138] != p[138]) return false;
    // The block's number (its low byte) says where it goes: block 0 begins a new run, and the
    // block taken last may come again when its answer was lost.
    const uint8_t number = p[2];
    if (number == 0 && (blocksTaken & 0xFF) != 0) restart();
    int at = blocksTaken;
    if (blocksTaken > 0 && number == ((blocksTaken - 1) & 0xFF))
        at = blocksTaken - 1;
    else if (number != (blocksTaken & 0xFF))
        return false;
    store(static_cast<std::size_t>(at) * firmware::kOldBlockData,
          p.data() + firmware::kOldDataOffset, firmware::kOldBlockData);
    if (at == blocksTaken) ++blocksTaken;
    return true;
}

Bytes BootLoader::answer(const Bytes& packet, const BootAction& action) {
    packets.push_back(packet);
    const bool endFrame = std::equal(packet.begin(), packet.end(), firmware::kEndFrame.begin(),
                                     firmware::kEndFrame.end());
    switch (action.kind) {
        case BootAction::Kind::Silence:
        case BootAction::Kind::HangUp:
            return {};
        case BootAction::Kind::Garbage:
            return {0x13, 0x37, 0x00, 0x42};
        case BootAction::Kind::WrongCheck: {
            Bytes r = bootStatus(firmware::kAccepted);
            ++r[3];
            return r;
        }
        case BootAction::Kind::Request:
            current_ = action.block;
            return blockRequest(action.block);
        case BootAction::Kind::CutStatus: {
            Bytes r = bootStatus(firmware::kAccepted);
            r.resize(2);
            return r;
        }
        case BootAction::Kind::CutRequest: {
            Bytes r = blockRequest(action.block);
            r.resize(6);
            return r;
        }
        case BootAction::Kind::Status: {
            const uint8_t c = action.code;
            if (c == firmware::kAccepted || c == firmware::kAcceptedStopNext ||
                c == firmware::kAcceptedNewType)
                takeOldBlock(packet);
            if (endFrame) finished = true;
            return bootStatus(c);
        }
        case BootAction::Kind::Model:
            break;
    }
    if (stall) return bootStatus(firmware::kNak);
    if (endFrame) {
        finished = true;
        return bootStatus(firmware::kAccepted);
    }
    if (generation == BootGeneration::Old)
        return bootStatus(takeOldBlock(packet) ? firmware::kAccepted : firmware::kNak);

    // New-type: PROG starts the requests over, also after a run that was cut short; anything
    // else that is no block starts them when none was asked for yet. A block goes where the last
    // request asked.
    if (std::equal(packet.begin(), packet.end(), firmware::kProgRequest.begin(),
                   firmware::kProgRequest.end())) {
        restart();
        return askNext();
    }
    Bytes block;
    if (!unescapeBlock(packet, block)) {
        if (nextInOrder_ == 0) return askNext();
        return bootStatus(firmware::kNak);
    }
    store(static_cast<std::size_t>(current_) * firmware::kNewBlockData, block.data(), block.size());
    ++blocksTaken;
    return askNext();
}

}  // namespace emu
