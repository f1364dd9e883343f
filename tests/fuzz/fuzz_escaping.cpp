// libFuzzer: escaping a new-type block and undoing it, as the boot loader does, gives the block
// back; the escaped block is as long as its C0 and DB bytes make it and ends with its only C0.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "firmware/boot_protocol.h"
#include "tools/emulator/boot_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    uint8_t buf[firmware::kMaxEscapedBlock] = {};
    std::memcpy(buf, data, std::min<std::size_t>(size, firmware::kNewBlockData));
    const emu::Bytes block(buf, buf + firmware::kNewBlockData);
    const auto special = std::count_if(block.begin(), block.end(), [](uint8_t b) {
        return b == firmware::kSlipEnd || b == firmware::kSlipEsc;
    });
    const uint16_t n = firmware::makeSlipPkt(buf, buf);  // in place, as the run does it
    if (n != firmware::kNewBlockData + 1 + special) __builtin_trap();
    if (std::count(buf, buf + n, firmware::kSlipEnd) != 1 || buf[n - 1] != firmware::kSlipEnd)
        __builtin_trap();
    emu::Bytes back;
    if (!emu::unescapeBlock(emu::Bytes(buf, buf + n), back) || back != block) __builtin_trap();
    return 0;
}
