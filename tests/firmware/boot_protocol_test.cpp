// The boot loader's packets, sums and escaping, as pure functions.

#include <gtest/gtest.h>

#include "firmware/boot_protocol.h"
#include "tests/support/harness.h"

namespace {

using th::Bytes;
using th::hex;

TEST(Escaping, ZerosPassUnchangedAndGetTheClosingC0) {
    uint8_t in[262] = {};
    uint8_t out[525];
    EXPECT_EQ(firmware::makeSlipPkt(out, in), 263);
    EXPECT_EQ(hex(out, 262), hex(Bytes(262, 0x00)));
    EXPECT_EQ(out[262], 0xC0);
}

TEST(Escaping, EveryC0BecomesDb01) {
    uint8_t buf[525];
    std::fill(buf, buf + 262, 0xC0);
    // In place: input and output share the buffer.
    EXPECT_EQ(firmware::makeSlipPkt(buf, buf), 525);
    for (int i = 0; i < 262; ++i) {
        ASSERT_EQ(buf[2 * i], 0xDB) << i;
        ASSERT_EQ(buf[2 * i + 1], 0x01) << i;
    }
    EXPECT_EQ(buf[524], 0xC0);
}

TEST(Escaping, C0AndDbAtTheStart) {
    uint8_t buf[525] = {0xC0, 0xDB, 0x00, 0x12};
    EXPECT_EQ(firmware::makeSlipPkt(buf, buf), 265);
    EXPECT_EQ(hex(buf, 6), "DB 01 DB DD 00 12");
    EXPECT_EQ(buf[264], 0xC0);
}

TEST(BootSums, EndFrameAndOldBlock) {
    uint8_t end[4] = {0xE1, 0x02};
    firmware::getCRC16(end, 2);
    EXPECT_EQ(hex(end, 4), "E1 02 8D 56");
    EXPECT_EQ(hex(Bytes(firmware::kEndFrame.begin(), firmware::kEndFrame.end())), "E1 02 8D 56");

    uint8_t block[139];
    for (int i = 0; i < 132; ++i) block[5 + i] = static_cast<uint8_t>(i);
    firmware::finishOldBlock(block, 300);
    EXPECT_EQ(hex(block, 5), "70 89 2C 00 84");
    // 0x55AA + 70 + 89 + 2C + 00 + 84 + (0 + 1 + ... + 131) = 0x55AA + 0x1A9 + 0x21C6
    const uint16_t sum = static_cast<uint16_t>(0x55AA + 0x70 + 0x89 + 0x2C + 0x84 + 131 * 132 / 2);
    EXPECT_EQ(block[137], sum & 0xFF);
    EXPECT_EQ(block[138], sum >> 8);
}

TEST(BootSums, StatusCheckIsZeroForAValidReply) {
    const uint8_t ok[4] = {0xAB, 0x00, 0x00, 0xFB};
    EXPECT_EQ(firmware::chkCRC8(ok, 4), 0);
    const uint8_t bad[4] = {0xAB, 0x00, 0x00, 0xFC};
    EXPECT_NE(firmware::chkCRC8(bad, 4), 0);
    // ASK1 can never pass for a status reply.
    EXPECT_EQ(firmware::chkCRC8(firmware::kAsk1.data(), 4), 0x6A);
}

TEST(BlockRequest, DigitsAndNumbers) {
    EXPECT_EQ(firmware::getDig('7'), 7);
    EXPECT_EQ(firmware::getDig('c'), 12);
    EXPECT_EQ(firmware::getDig('F'), 15);
    EXPECT_EQ(firmware::getDig('x'), 255);
    EXPECT_EQ(firmware::getDig('g'), 255);
    const auto request = [](const char* digits) {
        Bytes r{'A', 'S', 'K', '1', 0, 0, 0};
        r.insert(r.end(), digits, digits + 3);
        return r;
    };
    EXPECT_TRUE(firmware::isBlockRequest(request("123").data()));
    EXPECT_EQ(firmware::requestedBlock(request("123").data()), 123);
    EXPECT_EQ(firmware::requestedBlock(request("999").data()), 999);
    EXPECT_EQ(firmware::requestedBlock(request("012").data()), 12);
    EXPECT_EQ(firmware::requestedBlock(request("0a0").data()), 100);
}

// What a reader left in its boot loader sends first, judged byte by byte: only its status codes
// and ASK1 are worth waiting for the rest of.
TEST(LoaderAnswer, OnlyItsStatusCodesAndAsk1Begin) {
    struct Case {
        const char* bytes;
        bool begins;
    };
    const Case cases[] = {
        {"02", true},           {"AB 00 00", true},        {"AC 00", true},
        {"AD 00 00", true},     {"02 00 00 A4", true},     {"AB 00 00 FB", true},
        {"41", true},           {"41 53 4B", true},        {"41 53 4B 31 00 00", true},
        {"00 00 00", false},    {"00 00 01", false},       {"00 00 02", false},
        {"02 07 02", false},    {"AB 00 01", false},       {"AB 00 00 FC", false},
        {"41 53 4B 32", false}, {"02 07 07 28 00", false}, {"", false},
    };
    for (const Case& c : cases) {
        const Bytes b = th::hexBytes(c.bytes);
        EXPECT_EQ(firmware::beginsLoaderAnswer(b.data(), static_cast<int>(b.size())), c.begins)
            << c.bytes;
    }
}

}  // namespace
