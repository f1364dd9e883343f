#include "link/frame.h"

#include <cstring>

namespace comlink {

uint16_t sum16(const uint8_t* p, std::size_t n, uint16_t seed) {
    uint16_t sum = seed;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + p[i]);
    return sum;
}

void appendSum16(uint8_t* p, std::size_t n, uint16_t seed) {
    const uint16_t sum = sum16(p, n, seed);
    p[n] = static_cast<uint8_t>(sum & 0xFF);
    p[n + 1] = static_cast<uint8_t>(sum >> 8);
}

bool replySumValid(const uint8_t* reply) {
    const int len = reply[2];
    if (len < 3) return reply[0] == 0 && reply[1] == 0;
    const uint16_t sum = sum16(reply, static_cast<std::size_t>(len - 2));
    return reply[len - 2] == (sum & 0xFF) && reply[len - 1] == (sum >> 8);
}

int buildFrame(uint8_t* out, uint8_t header, uint8_t command, const uint8_t* data,
               std::size_t dataLen) {
    const int len = static_cast<int>(dataLen) + 6;
    out[0] = kFrameStart;
    out[1] = header;
    out[2] = static_cast<uint8_t>(len);
    out[3] = command;
    if (dataLen > 0) std::memcpy(out + 4, data, dataLen);
    appendSum16(out, static_cast<std::size_t>(len - 2));
    return len;
}

namespace {

std::string hexWith(const uint8_t* p, std::size_t n, bool spaced) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        if (spaced && i) s += ' ';
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 0x0F];
    }
    return s;
}

}  // namespace

std::string hexString(const uint8_t* p, std::size_t n) {
    return hexWith(p, n, false);
}

std::string hexDump(const uint8_t* p, std::size_t n) {
    return hexWith(p, n, true);
}

}  // namespace comlink
