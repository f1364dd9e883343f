#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "firmware/boot_protocol.h"

// The programming run without its I/O: what to send next, and what a judged reply of the boot
// loader means for the run. The window sends the packets, waits, and writes the lines.
//
// The boot loader drives the run. An old-type boot loader takes numbered 132-byte blocks in
// order and answers each with a status; a new-type one asks for the 262-byte block it wants
// next and ends by asking for block 999. The run starts old-type unless "PROG pgm" is ticked,
// and turns new-type for good on status 0xAD or on any block request.
namespace firmware {

inline constexpr int kMaxFailures = 6;  // the seventh failure in a row ends the run

struct RunState {
    int32_t blockCounter = 0;     // the next old-type block; raised by 0xAB, 0xAC and 0xAD
    uint16_t requestedBlock = 0;  // the new-type block the boot loader asked for last
    bool newType = false;
    bool progPending = false;    // the PROG request goes before the first new-type block
    bool stopAfterNext = false;  // set by 0xAC: the next accepted block closes the run
    int32_t failures = 0;        // failures in a row
    int64_t readEnd = 0;         // the image position after the last piece taken from it

    bool operator==(const RunState&) const = default;
};

enum class RunOutcome {
    Continue,
    Close,  // the end frame follows
    End,    // the run is over without the end frame
};

struct Verdict {
    std::vector<std::string> lines;  // for the log, in order
    RunOutcome outcome = RunOutcome::Continue;
};

// What a reply to a block packet means: the lines to log, the run's new state, the outcome.
Verdict judgeBlockReply(RunState& s, const BootReply& reply);

// What the reply to the end frame means: its one line, and whether the boot loader confirmed.
struct CloseVerdict {
    const char* line;
    bool confirmed;
};
CloseVerdict judgeCloseReply(const BootReply& reply);

class ProgrammingRun {
public:
    // image must outlive the run; progPgm is the state of "PROG pgm".
    ProgrammingRun(std::span<const uint8_t> image, bool progPgm);

    // The end test and the next packet. When the run is over, next() returns false with the
    // line to log (the end frame follows); otherwise the packet stands at packet().
    bool next(std::string* overLine);
    const uint8_t* packet() const { return buf_; }
    int packetLength() const { return length_; }

    Verdict judge(const BootReply& reply) { return judgeBlockReply(state_, reply); }

    // How far the run is, 0 to 100.
    int percent() const;
    const RunState& state() const { return state_; }

private:
    std::span<const uint8_t> image_;
    RunState state_;
    uint8_t buf_[kSendBufferSize] = {};
    int length_ = 0;
};

}  // namespace firmware
