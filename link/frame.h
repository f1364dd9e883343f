#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The command frame that the reader's application firmware speaks:
//   0x02, second header byte, LEN, command, data..., sum low, sum high
// LEN counts the whole frame; the sum is a plain 16-bit additive sum of every byte
// before it, stored low byte first.
namespace comlink {

inline constexpr uint8_t kFrameStart = 0x02;
inline constexpr uint8_t kHeaderCommand = 0x07;     // second header byte of every request
inline constexpr uint8_t kHeaderWriteParam = 0x0B;  // ... except the parameter write request
inline constexpr uint8_t kStatusAccepted = 0x55;
inline constexpr int kReplyBufferSize = 256;
inline constexpr int kHeaderBytes = 3;  // start, second byte, LEN
inline constexpr int kStatusOffset = 4;
inline constexpr int kDataOffset = 5;
// The shortest reply that holds a status byte and its sum.
inline constexpr int kMinReplyLen = 7;

// How a request ended, as every sender judges it.
enum class Reply {
    None,      // no whole reply arrived
    BadSum,    // a reply arrived but failed its sum, or was too short for the data it must carry
    Refused,   // the status byte was not 0x55
    Accepted,  // status 0x55: the data from byte 5 on are valid
};

// Adds the n bytes from p to seed, keeping 16 bits.
uint16_t sum16(const uint8_t* p, std::size_t n, uint16_t seed = 0);

// Computes the sum of the n bytes from p and stores it at p[n] (low) and p[n + 1] (high).
void appendSum16(uint8_t* p, std::size_t n, uint16_t seed = 0);

// Tests the sum of a reply laid out as a command frame: bytes LEN - 2 and LEN - 1 must hold
// the sum of bytes 0 to LEN - 3. A length byte below 3 compares bytes 0 and 1 with a sum of 0.
bool replySumValid(const uint8_t* reply);

// Builds a request frame of LEN = dataLen + 6 into out (at least dataLen + 6 bytes) and
// returns LEN.
int buildFrame(uint8_t* out, uint8_t header, uint8_t command, const uint8_t* data,
               std::size_t dataLen);

// Bytes as two upper-case hexadecimal digits each, without separators.
std::string hexString(const uint8_t* p, std::size_t n);
// The same with a space between bytes, "02 07 07 28 00 38 00": how bytes on the line are shown.
std::string hexDump(const uint8_t* p, std::size_t n);

}  // namespace comlink
