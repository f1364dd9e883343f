// The command exchange of the configurator against the reader emulator on a pseudo-terminal.

#include <gtest/gtest.h>

#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"

namespace {

using emu::Action;
using th::Bytes;
using th::hex;
using th::hexBytes;

const Bytes kVersionRequest = hexBytes("02 07 07 28 00 38 00");
const Bytes kParamRequest = hexBytes("02 07 07 2A 00 3A 00");

class Exchange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
        ASSERT_TRUE(catcher.boxes.empty());
    }

    bool exchange(const Bytes& frame) {
        return form.writePage2(frame.data(), static_cast<int>(frame.size()));
    }

    Bytes buffer(int from, int to) const { return Bytes(form.bfRx + from, form.bfRx + to); }

    th::LinkedReader com3{3};
    th::ModalCatcher catcher;
    TForm1 form;
};

TEST_F(Exchange, ReplyOfLength7CarriesOnlyTheStatus) {
    const Bytes reply = emu::replyFrame(0x28, 0x55);
    ASSERT_EQ(reply.size(), 7u);
    com3.reader.script(Action::reply(reply));
    EXPECT_TRUE(exchange(kVersionRequest));
    EXPECT_TRUE(form.FRxCom);
    EXPECT_EQ(hex(buffer(0, 7)), hex(reply));
    EXPECT_EQ(hex(com3.reader.received()), hex(kVersionRequest));
}

TEST_F(Exchange, ReplyOfLength255FillsTheBufferUpToByte254) {
    form.bfRx[255] = 0x5C;
    Bytes data(248);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
    const Bytes reply = emu::replyFrame(0x2A, 0x55, data);
    ASSERT_EQ(reply.size(), 255u);
    com3.reader.script(Action::reply(reply));
    EXPECT_TRUE(exchange(kParamRequest));
    EXPECT_EQ(hex(buffer(0, 255)), hex(reply));
    EXPECT_EQ(form.bfRx[255], 0x5C);
}

TEST_F(Exchange, SilentReaderFailsAfterAboutTwoSecondsAndLeavesTheBuffer) {
    com3.reader.script(Action::reply(emu::replyFrame(0x28, 0x55, {1, 2, 3, 4})));
    ASSERT_TRUE(exchange(kVersionRequest));
    const Bytes before = buffer(0, 256);

    com3.reader.script(Action::silence());
    bool ok = true;
    const long long ms = th::timedMs([&] { ok = exchange(kVersionRequest); });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(form.FRxCom);
    EXPECT_GE(ms, 2000);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(hex(buffer(0, 256)), hex(before));
}

TEST_F(Exchange, BytesSentBeforeTheRequestAreNeverTakenForTheReply) {
    // A whole, valid-looking reply that arrives before the request is written.
    com3.reader.sendNow(emu::replyFrame(0x28, 0x55, {9, 9, 9, 9}));
    const Bytes reply = emu::replyFrame(0x28, 0x55, {1, 7, 1, 13});
    com3.reader.script(Action::reply(reply));
    EXPECT_TRUE(exchange(kVersionRequest));
    EXPECT_EQ(hex(buffer(0, 11)), hex(reply));
}

TEST_F(Exchange, BytesAfterTheAnnouncedLengthAreDiscardedByTheNextExchange) {
    Bytes first = emu::replyFrame(0x28, 0x55, {1, 7, 1, 13});
    first.insert(first.end(), {0xEE, 0xEE, 0xEE});
    com3.reader.script(Action::reply(first));
    EXPECT_TRUE(exchange(kVersionRequest));
    EXPECT_EQ(form.bfRx[11], 0x00);
    com3.reader.waitUntilQuiet();

    const Bytes second = emu::replyFrame(0x2A, 0x55, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    com3.reader.script(Action::reply(second));
    EXPECT_TRUE(exchange(kParamRequest));
    EXPECT_EQ(hex(buffer(0, 16)), hex(second));
}

TEST_F(Exchange, ReplyCutShortFailsKeepingTheNewHeaderAndTheEarlierBytes) {
    const Bytes earlier = emu::replyFrame(0x2A, 0x55, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    com3.reader.script(Action::reply(earlier));
    ASSERT_TRUE(exchange(kParamRequest));

    const Bytes cut = {0x02, 0x07, 0x0B, 0x28, 0x55};  // announces 11 bytes, sends 5
    com3.reader.script(Action::reply(cut));
    bool ok = true;
    const long long ms = th::timedMs([&] { ok = exchange(kVersionRequest); });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(form.FRxCom);
    // The body read ends 100 ms after its last byte, not after the total time.
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(hex(buffer(0, 3)), "02 07 0B");
    EXPECT_EQ(hex(buffer(3, 16)), hex(Bytes(earlier.begin() + 3, earlier.end())));
}

TEST_F(Exchange, LengthByteBelowThreeReadsNothingFurtherAndFails) {
    com3.reader.script(Action::reply(hexBytes("02 07 02 AA BB")));
    bool ok = true;
    const long long ms = th::timedMs([&] { ok = exchange(kVersionRequest); });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(form.FRxCom);
    EXPECT_LT(ms, 1500);  // not the 2 s of a silent reader
    com3.reader.waitUntilQuiet();
    // What followed the short header is thrown away by the next exchange.
    const Bytes reply = emu::replyFrame(0x28, 0x55, {1, 7, 1, 13});
    com3.reader.script(Action::reply(reply));
    EXPECT_TRUE(exchange(kVersionRequest));
    EXPECT_EQ(hex(buffer(0, 11)), hex(reply));
}

TEST_F(Exchange, ReaderModelAnswersTheVersionRequest) {
    EXPECT_TRUE(exchange(kVersionRequest));
    EXPECT_TRUE(TForm1::chkCRCusb16(form.bfRx));
    EXPECT_EQ(form.bfRx[4], 0x55);
    EXPECT_EQ(hex(buffer(5, 9)), "01 07 01 0F");
}

TEST(ExchangeWithoutPort, FailsAtOnceAndSendsNothing) {
    th::LinkedReader com4{4};
    TForm1 form;
    const long long ms =
        th::timedMs([&] { EXPECT_FALSE(form.writePage2(kVersionRequest.data(), 7)); });
    EXPECT_LT(ms, 500);
    EXPECT_TRUE(com4.reader.received().empty());
}

}  // namespace
