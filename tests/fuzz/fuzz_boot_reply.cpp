// libFuzzer: any ten bytes that reach the reply buffer of the boot loader exchange are judged as
// exactly one kind of reply, with a block number made of the digits it names.

#include <cstdint>
#include <cstring>

#include "firmware/boot_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    uint8_t reply[firmware::kBlockRequestLen] = {};
    std::memcpy(reply, data + 1, std::min<std::size_t>(size - 1, sizeof reply));
    const firmware::BootReply r = firmware::classifyReply(data[0] & 1, reply);
    if (!(data[0] & 1) && r.kind != firmware::BootReply::Kind::None) __builtin_trap();
    if (r.kind == firmware::BootReply::Kind::Status && firmware::chkCRC8(reply, 4) != 0)
        __builtin_trap();
    if (r.kind == firmware::BootReply::Kind::BlockRequest) {
        // Three digits of at most 255 each: 100 x 255 + 10 x 255 + 255.
        if (r.block > 28305) __builtin_trap();
        if (firmware::chkCRC8(reply, 4) == 0) __builtin_trap();  // ASK1 is never a status
    }
    return 0;
}
