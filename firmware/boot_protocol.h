#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The boot loader's own packets: old-type blocks with a seeded 16-bit sum, the PROG request,
// new-type blocks escaped and closed by 0xC0, the end frame, and the two kinds of reply: a
// four-byte status with an 8-bit check, and a ten-byte block request.
namespace firmware {

inline constexpr int kOldBlockData = 132;
inline constexpr int kOldBlockLen = 139;
inline constexpr int kOldDataOffset = 5;
inline constexpr uint8_t kOldBlockCommand = 0x70;
inline constexpr uint8_t kOldBlockCount = 0x89;  // bytes before the sum
inline constexpr uint8_t kOldBlockDataLen = 0x84;
inline constexpr int kNewBlockData = 262;
inline constexpr int kMaxEscapedBlock = 2 * kNewBlockData + 1;  // 525
inline constexpr int kSendBufferSize = kMaxEscapedBlock;
inline constexpr uint8_t kSlipEnd = 0xC0;
inline constexpr uint8_t kSlipEsc = 0xDB;
inline constexpr uint8_t kSlipEscEnd = 0x01;  // 0xC0 goes as DB 01
inline constexpr uint8_t kSlipEscEsc = 0xDD;  // 0xDB goes as DB DD
inline constexpr uint16_t kBootSumSeed = 0x55AA;
inline constexpr uint8_t kStatusCheckSeed = 0x5A;
inline constexpr std::array<uint8_t, 4> kProgRequest{'P', 'R', 'O', 'G'};
inline constexpr std::array<uint8_t, 4> kEndFrame{0xE1, 0x02, 0x8D, 0x56};
inline constexpr std::array<uint8_t, 4> kAsk1{'A', 'S', 'K', '1'};
inline constexpr int kStatusReplyLen = 4;
inline constexpr int kBlockRequestLen = 10;
inline constexpr uint16_t kLastBlockRequest = 999;  // programming is complete

// Status codes of a four-byte reply.
inline constexpr uint8_t kNak = 0x02;
inline constexpr uint8_t kAccepted = 0xAB;
inline constexpr uint8_t kAcceptedStopNext = 0xAC;
inline constexpr uint8_t kAcceptedNewType = 0xAD;

// The boot loader sum: 0x55AA plus every byte, 16 bits, stored after the bytes, low byte first.
void getCRC16(uint8_t* p, int n);

// 0x5A plus every byte, 8 bits; 0 means a valid status reply.
uint8_t chkCRC8(const uint8_t* p, int n);

// "0"-"9" give 0-9, "A"-"F" and "a"-"f" give 10-15, anything else 255.
uint8_t getDig(uint8_t c);

// Escapes the 262 bytes at p_in into p_out (which may be p_in) and closes them with 0xC0;
// returns the length written, 263 to 525.
uint16_t makeSlipPkt(uint8_t* p_out, const uint8_t* p_in);

// Fills the header and the sum of an old-type block whose data already stand at bytes 5 to 136.
void finishOldBlock(uint8_t* p, int32_t blockCounter);

bool isBlockRequest(const uint8_t* reply);
// One of the codes that the boot loader answers a packet with.
bool isLoaderStatusCode(uint8_t code);
// The n bytes at reply are what the boot loader really sends first: the start of "ASK1", or of
// a status reply (one of its codes, then two zero bytes, then the check byte that makes it
// valid). Anything else cannot become one, however many bytes follow.
bool beginsLoaderAnswer(const uint8_t* reply, int n);
// The block number of a whole block request: 100, 10 and 1 times the digits at bytes 7 to 9.
uint16_t requestedBlock(const uint8_t* reply);

// A boot loader reply as the run judges it.
struct BootReply {
    enum class Kind {
        None,          // nothing, or not all of it, arrived
        Status,        // a four-byte status whose check value is right
        BlockRequest,  // a whole block request
        Garbled,       // four bytes that are neither
    };
    Kind kind = Kind::None;
    uint8_t status = 0;
    uint16_t block = 0;
};
BootReply classifyReply(bool received, const uint8_t* reply);

}  // namespace firmware
