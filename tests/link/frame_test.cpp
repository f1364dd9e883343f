#include <gtest/gtest.h>

#include "link/frame.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"

using th::Bytes;
using th::hex;
using th::hexBytes;

namespace {

// The request frames of the reader's command protocol, with the sums the reader expects.
struct FrameCase {
    const char* name;
    const char* body;  // bytes before the sum
    const char* wire;  // the whole frame on the line
};

const FrameCase kFrames[] = {
    {"version request", "02 07 07 28 00", "02 07 07 28 00 38 00"},
    {"parameter request", "02 07 07 2A 00", "02 07 07 2A 00 3A 00"},
    {"read-filter request", "02 07 07 2B 00", "02 07 07 2B 00 3B 00"},
    {"boot entry, no data", "02 07 06 E0", "02 07 06 E0 EF 00"},
    {"automatic filter request", "02 07 07 2C 00", "02 07 07 2C 00 3C 00"},
    {"filter code 0x01", "02 07 07 1F 01", "02 07 07 1F 01 30 00"},
    {"parameter write, model 4", "02 0B 09 1C 01 00 00", "02 0B 09 1C 01 00 00 33 00"},
};

TEST(CommandFrame, GetCRC16UAppendsTheAdditiveSumLowByteFirst) {
    for (const FrameCase& c : kFrames) {
        Bytes frame = hexBytes(c.body);
        const int n = static_cast<int>(frame.size());
        frame.resize(frame.size() + 2, 0xEE);
        TForm1::getCRC16_U(frame.data(), n);
        EXPECT_EQ(hex(frame), c.wire) << c.name;
        EXPECT_TRUE(TForm1::chkCRCusb16(frame.data())) << c.name;
    }
}

TEST(CommandFrame, BuildFrameLaysOutHeaderDataAndSum) {
    uint8_t out[16] = {};
    const uint8_t data[] = {0x00};
    EXPECT_EQ(comlink::buildFrame(out, comlink::kHeaderCommand, 0x28, data, 1), 7);
    EXPECT_EQ(hex(out, 7), "02 07 07 28 00 38 00");
    EXPECT_EQ(comlink::buildFrame(out, comlink::kHeaderCommand, 0xE0, nullptr, 0), 6);
    EXPECT_EQ(hex(out, 6), "02 07 06 E0 EF 00");
}

TEST(CommandFrame, SumWrapsModulo65536AndKeepsOnlyTwoBytes) {
    // 300 bytes of 0xFF sum to 76500 = 0x12AD4: only 0x2AD4 is stored.
    std::vector<uint8_t> p(302, 0xFF);
    TForm1::getCRC16_U(p.data(), 300);
    EXPECT_EQ(p[300], 0xD4);
    EXPECT_EQ(p[301], 0x2A);
    EXPECT_EQ(comlink::sum16(p.data(), 300), 0x2AD4);
    EXPECT_EQ(comlink::sum16(p.data(), 300, 0x55AA), static_cast<uint16_t>(0x2AD4 + 0x55AA));
}

TEST(ReplySum, AcceptsOnlyTheSumOfTheAnnouncedBytesLowByteFirst) {
    uint8_t r[256] = {};
    const Bytes ok = hexBytes("02 07 0B 28 55 01 07 01 0D");
    std::copy(ok.begin(), ok.end(), r);
    TForm1::getCRC16_U(r, 9);
    EXPECT_TRUE(TForm1::chkCRCusb16(r));

    // Stored high byte first: fails.
    std::swap(r[9], r[10]);
    EXPECT_FALSE(TForm1::chkCRCusb16(r));
    // ... unless its two bytes are equal: 7 + 0xFA = 0x0101 passes either way round.
    uint8_t sym[8] = {0x00, 0x00, 0x07, 0x00, 0xFA, 0x01, 0x01};
    EXPECT_TRUE(TForm1::chkCRCusb16(sym));
    // One bit off in the data fails.
    sym[4] = 0xFB;
    EXPECT_FALSE(TForm1::chkCRCusb16(sym));
}

TEST(ReplySum, BytesBeyondTheAnnouncedLengthPlayNoPart) {
    uint8_t r[256];
    std::fill(std::begin(r), std::end(r), 0xAB);
    const Bytes reply = hexBytes("02 07 07 2A 55 8F 00");
    std::copy(reply.begin(), reply.end(), r);
    EXPECT_TRUE(TForm1::chkCRCusb16(r));
}

TEST(ReplySum, LengthBelowThreeComparesTheFirstTwoBytesWithZero) {
    uint8_t zeros[4] = {0x00, 0x00, 0x02, 0x00};
    EXPECT_TRUE(TForm1::chkCRCusb16(zeros));
    uint8_t one[4] = {0x00, 0x00, 0x01, 0x00};
    EXPECT_TRUE(TForm1::chkCRCusb16(one));
    uint8_t header[4] = {0x02, 0x07, 0x02, 0x00};
    EXPECT_FALSE(TForm1::chkCRCusb16(header));
    uint8_t none[4] = {0x00, 0x01, 0x00, 0x00};
    EXPECT_FALSE(TForm1::chkCRCusb16(none));
}

}  // namespace
