#include "link/commands.h"

namespace comlink {

int buildRequest(uint8_t* out, const Command& c, const uint8_t* data, std::size_t dataLen) {
    return buildFrame(out, c.header, c.code, data, dataLen);
}

std::array<uint8_t, 7> oneByteRequest(const Command& c, uint8_t data) {
    std::array<uint8_t, 7> f{};
    buildRequest(f.data(), c, &data, 1);
    return f;
}

std::array<uint8_t, 6> bootEntryRequest() {
    std::array<uint8_t, 6> f{};
    buildRequest(f.data(), cmd::kBootEntry, nullptr, 0);
    return f;
}

}  // namespace comlink
