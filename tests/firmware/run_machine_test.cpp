// The programming run without its I/O: the reply table row by row, and whole runs against
// scripted replies, in milliseconds.

#include <gtest/gtest.h>

#include "firmware/boot_protocol.h"
#include "firmware/run_machine.h"
#include "tests/support/harness.h"

namespace {

using firmware::BootReply;
using firmware::RunOutcome;
using firmware::RunState;
using th::Bytes;
using th::hex;
using Lines = std::vector<std::string>;

BootReply status(uint8_t code) {
    return {BootReply::Kind::Status, code, 0};
}
BootReply request(uint16_t block) {
    return {BootReply::Kind::BlockRequest, 0, block};
}
const BootReply kNothing{BootReply::Kind::None, 0, 0};
const BootReply kGarbled{BootReply::Kind::Garbled, 0, 0};
const BootReply kOk = status(0xAB);

RunState oldType(int32_t block, int32_t failures = 0) {
    RunState s;
    s.blockCounter = block;
    s.failures = failures;
    return s;
}

TEST(RunMachine, ReplyTable) {
    struct Row {
        const char* name;
        RunState before;
        BootReply reply;
        Lines lines;
        RunState after;
        RunOutcome outcome;
    };
    RunState stopping = oldType(4);
    stopping.stopAfterNext = true;
    RunState stopped = stopping;
    stopped.blockCounter = 5;
    RunState prog;
    prog.newType = prog.progPending = true;
    prog.failures = 2;
    RunState asked12 = oldType(3);
    asked12.newType = true;
    asked12.requestedBlock = 12;
    RunState turnedNew = oldType(1);
    turnedNew.newType = true;
    RunState stoppedNew = stopped;
    stoppedNew.newType = true;

    const Row rows[] = {
        // The reply                 state before  lines                       state after
        {"request 999 ends", oldType(3), request(999), {"END OF PGM"}, oldType(3), RunOutcome::End},
        {"a request turns new-type",
         oldType(3, 4),
         request(12),
         {"passed 12 block old type"},
         asked12,
         RunOutcome::Continue},
        {"a request answers PROG",
         prog,
         request(0),
         {"passed 0 block old type"},
         [] {
             RunState s;
             s.newType = true;
             return s;
         }(),
         RunOutcome::Continue},
        {"NAK sends the block again",
         oldType(2, 3),
         status(0x02),
         {"NAK"},
         oldType(2),
         RunOutcome::Continue},
        {"0xAB takes the block",
         oldType(2, 5),
         kOk,
         {"passed 2 block"},
         oldType(3),
         RunOutcome::Continue},
        {"0xAB after 0xAC closes", stopping, kOk, {"passed 4 block"}, stopped, RunOutcome::Close},
        {"0xAC takes it, the next closes",
         oldType(4, 1),
         status(0xAC),
         {"passed 4 block + STOP"},
         [&] {
             RunState s = stopping;
             s.blockCounter = 5;
             return s;
         }(),
         RunOutcome::Continue},
        {"0xAD takes it and turns new-type",
         oldType(0),
         status(0xAD),
         {"passed 0 block new type"},
         turnedNew,
         RunOutcome::Continue},
        {"0xAD after 0xAC closes",
         stopping,
         status(0xAD),
         {"passed 4 block new type"},
         stoppedNew,
         RunOutcome::Close},
        {"another status fails",
         oldType(1),
         status(0x77),
         {"error"},
         oldType(1, 1),
         RunOutcome::Continue},
        {"four wrong bytes fail",
         oldType(1, 2),
         kGarbled,
         {"No connection"},
         oldType(1, 3),
         RunOutcome::Continue},
        {"the sixth failure goes on",
         oldType(1, 5),
         kNothing,
         {"No connection"},
         oldType(1, 6),
         RunOutcome::Continue},
        {"the seventh stops the scan",
         oldType(1, 6),
         kNothing,
         {"No connection", "Stop scan"},
         oldType(1, 7),
         RunOutcome::End},
        {"the seventh error too",
         oldType(1, 6),
         status(0x55),
         {"error", "Stop scan"},
         oldType(1, 7),
         RunOutcome::End},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        RunState s = r.before;
        const firmware::Verdict v = firmware::judgeBlockReply(s, r.reply);
        EXPECT_EQ(v.lines, r.lines);
        EXPECT_EQ(v.outcome, r.outcome);
        EXPECT_TRUE(s == r.after);
        EXPECT_EQ(s.blockCounter, r.after.blockCounter);
        EXPECT_EQ(s.failures, r.after.failures);
    }
}

// The end frame's reply, from the bytes on the line.
TEST(RunMachine, EndFrameReplies) {
    struct Row {
        Bytes reply;  // empty: nothing arrived
        const char* line;
        bool confirmed;
    };
    const Row rows[] = {
        {{0xAB, 0x00, 0x00, 0xFB}, "Transmission OK", true},
        {{0x02, 0x00, 0x00, 0xA4}, "NAK", false},
        {{0x55, 0x00, 0x00, 0x51}, "error", false},
        {{0xAC, 0x00, 0x00, 0xFA}, "error", false},
        {{0xAB, 0x00, 0x00, 0xFC}, "No connection", false},  // a wrong check value
        {{'A', 'S', 'K', '1', 0, 0, 0, '0', '0', '3'}, "No connection", false},
        {{}, "No connection", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(hex(r.reply));
        uint8_t buf[16] = {};
        std::copy(r.reply.begin(), r.reply.end(), buf);
        const auto v = firmware::judgeCloseReply(firmware::classifyReply(!r.reply.empty(), buf));
        EXPECT_STREQ(v.line, r.line);
        EXPECT_EQ(v.confirmed, r.confirmed);
    }
}

Bytes pattern(int size) {
    Bytes b(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

// A whole run as the window drives it, with the boot loader's replies scripted; once the
// script is used up every packet is taken.
struct Simulated {
    Lines lines;
    std::vector<Bytes> packets;
    bool endFrame = false;
    std::vector<int> percents;
};
Simulated simulate(const Bytes& image, bool progPgm, std::vector<BootReply> replies) {
    firmware::ProgrammingRun run(image, progPgm);
    Simulated out;
    std::size_t next = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        std::string over;
        if (!run.next(&over)) {
            out.lines.push_back(over);
            out.endFrame = true;
            return out;
        }
        out.packets.emplace_back(run.packet(), run.packet() + run.packetLength());
        const BootReply reply = next < replies.size() ? replies[next++] : kOk;
        const firmware::Verdict v = run.judge(reply);
        out.lines.insert(out.lines.end(), v.lines.begin(), v.lines.end());
        out.percents.push_back(run.percent());
        if (v.outcome == RunOutcome::Close) {
            out.endFrame = true;
            return out;
        }
        if (v.outcome == RunOutcome::End) return out;
    }
    ADD_FAILURE() << "the run did not end";
    return out;
}

Bytes oldBlockData(const Bytes& packet) {
    return Bytes(packet.begin() + 5, packet.begin() + 137);
}

TEST(RunMachine, OldTypeBlocksAndTheirEnd) {
    // 264 bytes are two whole blocks; 265 need a third, filled up as erased flash.
    const Bytes two = pattern(264);
    Simulated r = simulate(two, false, {});
    EXPECT_EQ(r.lines, (Lines{"passed 0 block", "passed 1 block", "Given all"}));
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_TRUE(r.endFrame);
    EXPECT_EQ(r.percents, (std::vector<int>{50, 100}));

    const Bytes three = pattern(265);
    r = simulate(three, false, {});
    EXPECT_EQ(r.lines, (Lines{"passed 0 block", "passed 1 block", "passed 2 block", "Given all"}));
    ASSERT_EQ(r.packets.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        uint8_t expected[139];
        std::fill(expected, expected + 139, 0xFF);
        const int got = std::min(132, 265 - 132 * k);
        std::copy(three.begin() + 132 * k, three.begin() + 132 * k + got, expected + 5);
        firmware::finishOldBlock(expected, k);
        EXPECT_EQ(hex(r.packets[k]), hex(expected, 139)) << "block " << k;
    }
    EXPECT_EQ(r.packets[2][5], three[264]);
    EXPECT_EQ(hex(Bytes(r.packets[2].begin() + 6, r.packets[2].begin() + 137)),
              hex(Bytes(131, 0xFF)));
}

// "Given all" never follows a refused or unconfirmed last block: it goes again, byte for byte.
TEST(RunMachine, LastOldTypeBlockIsSentAgainUntilAccepted) {
    const Bytes image = pattern(264);
    for (const BootReply& fault : {status(0x02), kGarbled, kNothing}) {
        const Simulated r = simulate(image, false, {kOk, fault});
        ASSERT_EQ(r.packets.size(), 3u);
        EXPECT_EQ(hex(r.packets[1]), hex(r.packets[2]));
        EXPECT_EQ(r.packets[2][2], 1);
        EXPECT_EQ(hex(oldBlockData(r.packets[2])), hex(Bytes(image.begin() + 132, image.end())));
        EXPECT_EQ(r.lines.back(), "Given all");
        EXPECT_EQ(r.lines[2], "passed 1 block");
        EXPECT_TRUE(r.endFrame);
    }
}

TEST(RunMachine, StopAfterNextClosesOnTheNextAcceptedBlockOnly) {
    const Simulated r =
        simulate(pattern(132 * 6), false, {status(0xAC), status(0x02), status(0xAC), status(0xAB)});
    EXPECT_EQ(r.lines,
              (Lines{"passed 0 block + STOP", "NAK", "passed 1 block + STOP", "passed 2 block"}));
    EXPECT_EQ(r.packets.size(), 4u);  // the end frame follows: five on the line
    EXPECT_TRUE(r.endFrame);
}

TEST(RunMachine, SixFailuresGoOnTheSeventhStopsTheScan) {
    // NAK and a recognised code set the count back; codes outside the table count as failures.
    std::vector<BootReply> script(5, kGarbled);
    script.push_back(status(0x77));
    script.push_back(status(0x02));
    for (int i = 0; i < 5; ++i) script.push_back(kGarbled);
    script.push_back(kGarbled);
    script.push_back(kOk);
    for (int i = 0; i < 7; ++i) script.push_back(kGarbled);
    const Simulated r = simulate(pattern(132 * 4), false, script);
    Lines expected(5, "No connection");
    expected.insert(expected.end(), {"error", "NAK"});
    expected.insert(expected.end(), 6, "No connection");
    expected.push_back("passed 0 block");
    expected.insert(expected.end(), 7, "No connection");
    expected.push_back("Stop scan");
    EXPECT_EQ(r.lines, expected);
    // No end frame after "Stop scan"; the last packet was block 1.
    EXPECT_FALSE(r.endFrame);
    EXPECT_EQ(r.packets.size(), 21u);
    EXPECT_EQ(r.packets.back().size(), 139u);
    EXPECT_EQ(r.packets.back()[2], 1);
}

TEST(RunMachine, NewTypeBlocksAsTheBootLoaderAsks) {
    const Bytes image = pattern(14 * 262);
    const auto escaped = [&](int block) {
        uint8_t buf[525];
        std::copy(image.begin() + 262 * block, image.begin() + 262 * block + 262, buf);
        return Bytes(buf, buf + firmware::makeSlipPkt(buf, buf));
    };
    // PROG first, then every block asked for; 999 ends without the end frame.
    Simulated r = simulate(image, true, {request(12), request(0), request(999)});
    EXPECT_EQ(r.lines,
              (Lines{"passed 12 block old type", "passed 0 block old type", "END OF PGM"}));
    ASSERT_EQ(r.packets.size(), 3u);
    EXPECT_EQ(hex(r.packets[0]), "50 52 4F 47");
    EXPECT_EQ(hex(r.packets[1]), hex(escaped(12)));  // image bytes 3144 to 3405
    EXPECT_EQ(hex(r.packets[2]), hex(escaped(0)));
    EXPECT_FALSE(r.endFrame);
    // The bar stands at the block asked for last.
    EXPECT_EQ(r.percents, (std::vector<int>{85, 0, 0}));

    // Status 0xAD turns an old-type run new-type at block 0.
    r = simulate(pattern(1000), false, {status(0xAD), request(999)});
    EXPECT_EQ(r.lines, (Lines{"passed 0 block new type", "END OF PGM"}));
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[1].back(), 0xC0);
}

TEST(RunMachine, ABlockPastTheImageEndsTheRun) {
    // With "PROG pgm" an image of one new-type block or less exceeds at once.
    Simulated r = simulate(pattern(262), true, {});
    EXPECT_EQ(r.lines, Lines{"File size exceeded!"});
    EXPECT_TRUE(r.packets.empty());
    EXPECT_TRUE(r.endFrame);

    // A request for a block whose end lies past the image.
    r = simulate(pattern(3 * 262), true, {request(1), request(2)});
    EXPECT_EQ(r.lines,
              (Lines{"passed 1 block old type", "passed 2 block old type", "File size exceeded!"}));
    EXPECT_EQ(r.packets.size(), 2u);
}

}  // namespace
