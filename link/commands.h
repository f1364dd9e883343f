#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/frame.h"

// Every command the configurator sends to the reader's application firmware: its code, the
// frame's second header byte, and how many data bytes the reader's accepted reply carries. The
// request builders below are the only places that put a command frame together.
namespace comlink {

struct Command {
    uint8_t code;
    uint8_t header;
    int replyData;  // data bytes after the status byte of an accepted reply
};

namespace cmd {
inline constexpr Command kVersion{0x28, kHeaderCommand, 4};
inline constexpr Command kParams{0x2A, kHeaderCommand, 9};
inline constexpr Command kReadFilter{0x2B, kHeaderCommand, 32};
inline constexpr Command kWriteParams{0x1C, kHeaderWriteParam, 0};
inline constexpr Command kSetFilter{0x2C, kHeaderCommand, 0};
inline constexpr Command kFilterCode{0x1F, kHeaderCommand, 0};
inline constexpr Command kBootEntry{0xE0, kHeaderCommand, 0};
inline constexpr std::array<Command, 7> kAll{kVersion,   kParams,     kReadFilter, kWriteParams,
                                             kSetFilter, kFilterCode, kBootEntry};
}  // namespace cmd

// The length of an accepted reply that carries the command's data.
constexpr int replyLen(const Command& c) {
    return kDataOffset + c.replyData + 2;
}

// The frame of command c with dataLen data bytes into out (dataLen + 6 bytes); returns LEN.
int buildRequest(uint8_t* out, const Command& c, const uint8_t* data, std::size_t dataLen);

// A request with one data byte: the reads (data 0), a filter code, the automatic filter request.
std::array<uint8_t, 7> oneByteRequest(const Command& c, uint8_t data);

// The automatic filter request: "Set filter" with data 0x00, the reader choosing the filters.
inline std::array<uint8_t, 7> automaticFilterRequest() {
    return oneByteRequest(cmd::kSetFilter, 0x00);
}

// "Go to the BOOT": the command without data.
std::array<uint8_t, 6> bootEntryRequest();

}  // namespace comlink
