#include "firmware/boot_protocol.h"

#include <algorithm>
#include <cstring>

#include "link/frame.h"

namespace firmware {

void getCRC16(uint8_t* p, int n) {
    comlink::appendSum16(p, static_cast<std::size_t>(n), kBootSumSeed);
}

uint8_t chkCRC8(const uint8_t* p, int n) {
    uint8_t sum = kStatusCheckSeed;
    for (int i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + p[i]);
    return sum;
}

uint8_t getDig(uint8_t c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return 255;
}

uint16_t makeSlipPkt(uint8_t* p_out, const uint8_t* p_in) {
    // A working buffer of its own, so that input and output may be the same bytes.
    uint8_t work[kMaxEscapedBlock];
    int n = 0;
    for (int i = 0; i < kNewBlockData; ++i) {
        const uint8_t b = p_in[i];
        if (b == kSlipEnd) {
            work[n++] = kSlipEsc;
            work[n++] = kSlipEscEnd;
        } else if (b == kSlipEsc) {
            work[n++] = kSlipEsc;
            work[n++] = kSlipEscEsc;
        } else {
            work[n++] = b;
        }
    }
    work[n++] = kSlipEnd;
    std::memcpy(p_out, work, static_cast<std::size_t>(n));
    return static_cast<uint16_t>(n);
}

void finishOldBlock(uint8_t* p, int32_t blockCounter) {
    p[0] = kOldBlockCommand;
    p[1] = kOldBlockCount;
    p[2] = static_cast<uint8_t>(blockCounter & 0xFF);
    p[3] = 0x00;
    p[4] = kOldBlockDataLen;
    getCRC16(p, kOldBlockLen - 2);
}

bool isBlockRequest(const uint8_t* reply) {
    return std::equal(kAsk1.begin(), kAsk1.end(), reply);
}

bool isLoaderStatusCode(uint8_t code) {
    return code == kNak || code == kAccepted || code == kAcceptedStopNext ||
           code == kAcceptedNewType;
}

bool beginsLoaderAnswer(const uint8_t* reply, int n) {
    if (n <= 0) return false;
    const int ask = std::min(n, static_cast<int>(kAsk1.size()));
    if (std::equal(kAsk1.begin(), kAsk1.begin() + ask, reply)) return true;
    if (!isLoaderStatusCode(reply[0])) return false;
    for (int i = 1; i < std::min(n, kStatusReplyLen - 1); ++i)
        if (reply[i] != 0) return false;
    return n < kStatusReplyLen || (n == kStatusReplyLen && chkCRC8(reply, kStatusReplyLen) == 0);
}

uint16_t requestedBlock(const uint8_t* reply) {
    return static_cast<uint16_t>(100 * getDig(reply[7]) + 10 * getDig(reply[8]) + getDig(reply[9]));
}

BootReply classifyReply(bool received, const uint8_t* reply) {
    BootReply r;
    if (!received) return r;
    if (isBlockRequest(reply)) {
        r.kind = BootReply::Kind::BlockRequest;
        r.block = requestedBlock(reply);
    } else if (chkCRC8(reply, kStatusReplyLen) == 0) {
        r.kind = BootReply::Kind::Status;
        r.status = reply[0];
    } else {
        r.kind = BootReply::Kind::Garbled;
    }
    return r;
}

}  // namespace firmware
