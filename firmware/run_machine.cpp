#include "firmware/run_machine.h"

#include <algorithm>
#include <cstring>

namespace firmware {

namespace {

std::string passed(int32_t block, const char* tail = "") {
    return "passed " + std::to_string(block) + " block" + tail;
}

}  // namespace

Verdict judgeBlockReply(RunState& s, const BootReply& reply) {
    Verdict v;
    auto accept = [&](const char* tail) {
        v.lines.push_back(passed(s.blockCounter, tail));
        s.failures = 0;
        ++s.blockCounter;
    };
    bool failed = false;
    using Kind = BootReply::Kind;

    // The reply                          what the run does
    if (reply.kind == Kind::BlockRequest && reply.block == kLastBlockRequest) {
        v.lines.push_back("END OF PGM");  // programming is complete
        v.outcome = RunOutcome::End;
    } else if (reply.kind == Kind::BlockRequest) {
        v.lines.push_back(passed(reply.block, " old type"));  // the block it wants next
        s.requestedBlock = reply.block;
        s.newType = true;
        s.progPending = false;
        s.failures = 0;
    } else if (reply.kind == Kind::Status && reply.status == kNak) {
        v.lines.push_back("NAK");  // the same block again
        s.failures = 0;
    } else if (reply.kind == Kind::Status && reply.status == kAccepted) {
        accept("");
        if (s.stopAfterNext) v.outcome = RunOutcome::Close;
    } else if (reply.kind == Kind::Status && reply.status == kAcceptedStopNext) {
        accept(" + STOP");
        s.stopAfterNext = true;
    } else if (reply.kind == Kind::Status && reply.status == kAcceptedNewType) {
        accept(" new type");
        s.newType = true;
        if (s.stopAfterNext) v.outcome = RunOutcome::Close;
    } else if (reply.kind == Kind::Status) {
        v.lines.push_back("error");  // any other status
        failed = true;
    } else {
        v.lines.push_back("No connection");  // silence, or four bytes that are neither
        failed = true;
    }

    if (failed && ++s.failures > kMaxFailures) {
        v.lines.push_back("Stop scan");
        v.outcome = RunOutcome::End;
    }
    return v;
}

CloseVerdict judgeCloseReply(const BootReply& reply) {
    if (reply.kind != BootReply::Kind::Status) return {"No connection", false};
    if (reply.status == kNak) return {"NAK", false};
    if (reply.status == kAccepted) return {"Transmission OK", true};
    return {"error", false};
}

ProgrammingRun::ProgrammingRun(std::span<const uint8_t> image, bool progPgm) : image_(image) {
    state_.newType = progPgm;
    state_.progPending = progPgm;
}

bool ProgrammingRun::next(std::string* overLine) {
    const auto size = static_cast<int64_t>(image_.size());
    RunState& s = state_;
    // The end test. An old-type run is over once the block that holds the image's last byte
    // was accepted: a block refused or unanswered is sent again, the last one too. A run that
    // turned new-type after the last old-type block was taken is over as well.
    const bool allAccepted = s.newType
                                 ? s.readEnd >= size
                                 : static_cast<int64_t>(s.blockCounter) * kOldBlockData >= size;
    if (allAccepted) {
        *overLine = "Given all";
        return false;
    }
    // The next piece of the image, and its packet.
    if (s.newType) {
        if ((s.requestedBlock + 1) * kNewBlockData >= size) {
            *overLine = "File size exceeded!";
            return false;
        }
        const int64_t from = static_cast<int64_t>(s.requestedBlock) * kNewBlockData;
        std::memcpy(buf_, image_.data() + from, kNewBlockData);
        s.readEnd = from + kNewBlockData;
        if (s.progPending) {
            std::copy(kProgRequest.begin(), kProgRequest.end(), buf_);
            length_ = static_cast<int>(kProgRequest.size());
        } else {
            length_ = makeSlipPkt(buf_, buf_);
        }
    } else {
        const int64_t from = static_cast<int64_t>(s.blockCounter) * kOldBlockData;
        const int64_t got = std::min<int64_t>(kOldBlockData, size - from);
        std::memcpy(buf_ + kOldDataOffset, image_.data() + from, static_cast<std::size_t>(got));
        // A short last piece is filled up as erased flash reads.
        std::memset(buf_ + kOldDataOffset + got, 0xFF,
                    static_cast<std::size_t>(kOldBlockData - got));
        s.readEnd = from + got;
        finishOldBlock(buf_, s.blockCounter);
        length_ = kOldBlockLen;
    }
    return true;
}

int ProgrammingRun::percent() const {
    const auto size = static_cast<int64_t>(image_.size());
    if (size <= 0) return 0;
    int64_t p = 0;
    if (state_.newType) {
        const int64_t blocks = (size + kNewBlockData - 1) / kNewBlockData;
        p = state_.requestedBlock * 100 / blocks;
    } else {
        p = static_cast<int64_t>(state_.blockCounter) * kOldBlockData * 100 / size;
    }
    return static_cast<int>(std::clamp<int64_t>(p, 0, 100));
}

}  // namespace firmware
