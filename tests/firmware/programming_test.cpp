// "PGM" and "Stop": whole programming runs against the emulated boot loader.

#include <QBuffer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include "firmware/boot_protocol.h"
#include "tests/support/read_param.h"

namespace {

using emu::BootAction;
using th::Bytes;
using th::hex;

QByteArray imageBytes(int size) {
    QByteArray b(size, 0);
    for (int i = 0; i < size; ++i) b[i] = static_cast<char>((i * 13 + i / 7) & 0xFF);
    // Some bytes that must be escaped in new-type blocks.
    if (size > 10) {
        b[3] = static_cast<char>(0xC0);
        b[4] = static_cast<char>(0xDB);
    }
    // The length trailer: the whole file is the image.
    for (int i = 0; i < 4 && size >= 4; ++i)
        b[size - 4 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    return b;
}

class Programming : public th::ReaderOnCom3 {
protected:
    void load(int size) {
        image = imageBytes(size);
        const QString path = dir.filePath("fw.rom");
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(image);
        f.close();
        ASSERT_TRUE(form.loadFirmware(path));
    }
    void bootLoader(emu::BootGeneration g, int newTypeBlocks = 0) {
        com3.reader.withBootLoader([&](emu::BootLoader& b) {
            b.generation = g;
            b.askFor(newTypeBlocks);
        });
        com3.reader.enterBootLoader();
    }
    QStringList pgm() { return press(form.btPGM); }
    std::vector<Bytes> packets() const { return com3.reader.bootLoader().packets; }
    Bytes received() const { return com3.reader.bootLoader().image; }
    Bytes imagePart(int from, int n) const {
        return Bytes(image.begin() + from, image.begin() + from + n);
    }
    static Bytes escaped(const Bytes& block) {
        uint8_t buf[525];
        std::copy(block.begin(), block.end(), buf);
        const int n = firmware::makeSlipPkt(buf, buf);
        return Bytes(buf, buf + n);
    }

    QTemporaryDir dir;
    QByteArray image;
};

TEST_F(Programming, WholeOldTypeRun) {
    load(400);
    bootLoader(emu::BootGeneration::Old);
    QStringList lines;
    const long long ms = th::timedMs([&] { lines = pgm(); });
    EXPECT_EQ(lines, (QStringList{"passed 0 block", "passed 1 block", "passed 2 block",
                                  "passed 3 block", "Given all", "Transmission OK"}));
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 5u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(sent[k].size(), 139u);
        EXPECT_EQ(sent[k][2], k);
    }
    EXPECT_EQ(hex(sent[4]), "E1 02 8D 56");
    // The boot loader holds the image, and the short last block was filled up as erased flash.
    const Bytes got = received();
    ASSERT_EQ(got.size(), 528u);
    EXPECT_EQ(hex(Bytes(got.begin(), got.begin() + 400)), hex(imagePart(0, 400)));
    EXPECT_EQ(hex(Bytes(got.begin() + 400, got.end())), hex(Bytes(128, 0xFF)));
    EXPECT_EQ(form.ProgressBar1->value(), 100);
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("Firmware delivered: 400 of 400 bytes"));
    EXPECT_EQ(form.btPGM->toolTip(),
              QStringLiteral("fw.rom: an image of 400 bytes, the whole file"));
    // Fixed waits per packet: 20 ms before, 400 ms after, 1 ms after the reply; none before the
    // end frame. Nothing else slows the run.
    const long long bound = 4 * (20 + 400 + 1) + 400;
    EXPECT_GE(ms, bound);
    // The tight bound is torvik-bench's; here only no wait of its own per packet.
    EXPECT_LT(ms, bound + 1000) << "a run of 4 blocks took " << ms << " ms";
    std::cout << "[ timing ] old-type run of 4 blocks: " << ms << " ms against " << bound
              << " ms of fixed waits\n";
}

TEST_F(Programming, WholeNewTypeRunWithProgAndBlocksOutOfOrder) {
    load(3 * 262 + 4);
    bootLoader(emu::BootGeneration::New);
    com3.reader.withBootLoader([](emu::BootLoader& b) { b.order = {2, 0, 1}; });
    form.cbProgPgm->setChecked(true);
    QStringList lines;
    const long long ms = th::timedMs([&] { lines = pgm(); });
    EXPECT_EQ(lines, (QStringList{"passed 2 block old type", "passed 0 block old type",
                                  "passed 1 block old type", "END OF PGM"}));
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(hex(sent[0]), "50 52 4F 47");
    EXPECT_EQ(hex(sent[1]), hex(escaped(imagePart(2 * 262, 262))));
    EXPECT_EQ(hex(sent[2]), hex(escaped(imagePart(0, 262))));
    EXPECT_EQ(hex(sent[3]), hex(escaped(imagePart(262, 262))));
    // Every block the boot loader asked for, byte for byte; no end frame after 999.
    EXPECT_EQ(hex(received()), hex(imagePart(0, 3 * 262)));
    const long long bound = 4 * (20 + 400 + 1);
    EXPECT_GE(ms, bound);
    EXPECT_LT(ms, bound + 1000);
    std::cout << "[ timing ] new-type run of 4 packets: " << ms << " ms against " << bound
              << " ms of fixed waits\n";
}

// The block that holds the image's last byte is sent again until the boot loader takes it:
// "Given all" never follows an unconfirmed last block. (The refused and garbled replies are rows
// of the run's own test; here is the one whose lines come from the line going quiet.)
TEST_F(Programming, LastOldTypeBlockIsSentAgainUntilAccepted) {
    load(264);
    bootLoader(emu::BootGeneration::Old);
    com3.reader.bootScript({BootAction::model(), BootAction::silence()});
    EXPECT_EQ(pgm(), (QStringList{"passed 0 block", "Error wr ---  0", "No connection",
                                  "passed 1 block", "Given all", "Transmission OK"}));
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(hex(sent[1]), hex(sent[2]));  // block 1 again, byte for byte
    EXPECT_EQ(sent[2][2], 1);
    EXPECT_EQ(hex(sent[3]), "E1 02 8D 56");
    EXPECT_EQ(com3.reader.bootLoader().blocksTaken, 2);
    const Bytes got = received();
    ASSERT_GE(got.size(), 264u);
    EXPECT_EQ(hex(Bytes(got.begin(), got.begin() + 264)), hex(imagePart(0, 264)));
}

TEST_F(Programming, ProgWithAnImageOfOneBlockOrLessExceedsAtOnce) {
    load(262);
    bootLoader(emu::BootGeneration::New, 1);
    form.cbProgPgm->setChecked(true);
    EXPECT_EQ(pgm(), (QStringList{"File size exceeded!", "Transmission OK"}));
    ASSERT_EQ(packets().size(), 1u);
    EXPECT_EQ(hex(packets()[0]), "E1 02 8D 56");
}

TEST_F(Programming, NewTypeStatusSwitchesToNewTypeBlockZero) {
    load(1000);
    bootLoader(emu::BootGeneration::Old);
    com3.reader.bootScript(
        {BootAction::status(firmware::kAcceptedNewType), BootAction::request(999)});
    EXPECT_EQ(pgm(), (QStringList{"passed 0 block new type", "END OF PGM"}));
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(hex(sent[1]), hex(escaped(imagePart(0, 262))));
}

TEST_F(Programming, BlockRequest012SendsImageBytes3144To3405) {
    load(14 * 262);
    bootLoader(emu::BootGeneration::Old);
    com3.reader.bootScript({BootAction::request(12), BootAction::request(999)});
    EXPECT_EQ(pgm(), (QStringList{"passed 12 block old type", "END OF PGM"}));
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(hex(sent[1]), hex(escaped(imagePart(3144, 262))));
}

TEST_F(Programming, StopDuringARunJudgesTheReplyThenSendsTheEndFrame) {
    load(132 * 20);
    bootLoader(emu::BootGeneration::Old);
    QStringList stateDuringRun;
    QTimer::singleShot(700, [&] {
        // While the run is active no other exchange can start; "Stop" stays live.
        stateDuringRun << QString::number(form.btVersion->isEnabled())
                       << QString::number(form.btOpenFile->isEnabled())
                       << QString::number(form.btPGM->isEnabled())
                       << QString::number(form.btTST->isEnabled())
                       << QString::number(form.btSetFilter->isEnabled())
                       << QString::number(form.cbCom->isEnabled())
                       << QString::number(form.btStop->isEnabled())
                       << QString::number(form.ProgressBar1->value());
        form.btStop->click();
    });
    const QStringList lines = pgm();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "passed 0 block");
    EXPECT_EQ(lines[1], "passed 1 block");
    EXPECT_EQ(lines[2], "Transmission OK");
    EXPECT_EQ(hex(packets().back()), "E1 02 8D 56");
    EXPECT_EQ(stateDuringRun, (QStringList{"0", "0", "0", "0", "0", "0", "1", "10"}));
    // Restored afterwards; the progress stays where the run left it.
    EXPECT_TRUE(form.btVersion->isEnabled());
    EXPECT_TRUE(form.cbCom->isEnabled());
    EXPECT_FALSE(form.btWriteParam->isEnabled());
    EXPECT_EQ(form.ProgressBar1->value(), 10);
    EXPECT_TRUE(form.FOPEN);
    // "Transmission OK" closed the run, but the panel says what it came to.
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("Stopped: 264 of 2640 bytes accepted"));
}

TEST_F(Programming, ClosingTheWindowDuringARunStopsItFirst) {
    load(132 * 20);
    bootLoader(emu::BootGeneration::Old);
    form.show();
    bool closedAtOnce = true;
    QTimer::singleShot(500, [&] {
        form.close();
        closedAtOnce = !form.isVisible();
    });
    const QStringList lines = pgm();
    EXPECT_FALSE(closedAtOnce);
    EXPECT_EQ(lines.back(), "Transmission OK");
    EXPECT_EQ(hex(packets().back()), "E1 02 8D 56");
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.FOPEN);
}

TEST_F(Programming, SilentBootLoaderAndACutBlockRequestAreNoReply) {
    load(8 * 262);
    bootLoader(emu::BootGeneration::Old);
    // A whole request first leaves "005" in the reply buffer; a later request cut after six
    // bytes must not be read with those digits.
    com3.reader.bootScript({BootAction::request(5), BootAction::cutRequest(7),
                            BootAction::silence(), BootAction::request(999)});
    form.ProgressBar1->setValue(77);
    EXPECT_EQ(pgm(), (QStringList{"passed 5 block old type", "Error wr ---  0", "No connection",
                                  "Error wr ---  0", "No connection", "END OF PGM"}));
    EXPECT_TRUE(catcher.boxes.empty());
    // The run started the bar afresh and left it at block 5 of 8.
    EXPECT_EQ(form.ProgressBar1->value(), 62);
}

TEST_F(Programming, AutomaticFilterRequestAfterTransmissionOk) {
    load(100);
    setVersion(1, 0, 1, 15);
    setParams({0x01, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    ASSERT_TRUE(form.cbProgPgm->isChecked());
    form.cbProgPgm->setChecked(false);  // this reader's boot loader is an old-type one
    form.cbAvtoSetFilter->setChecked(true);
    bootLoader(emu::BootGeneration::Old);
    EXPECT_EQ(pgm(), (QStringList{"passed 0 block", "Given all", "Transmission OK",
                                  " The Set filter command was sent", "OK"}));
    EXPECT_EQ(th::hex(com3.reader.requests().back()), "02 07 07 2C 00 3C 00");

    // Refused: the parameter read tells whether the reader is in protected mode.
    bootLoader(emu::BootGeneration::Old);
    com3.reader.script(emu::Action::withStatus(0x20));
    EXPECT_EQ(pgm(), (QStringList{"passed 0 block", "Given all", "Transmission OK",
                                  " The Set filter command was sent", "NO OK", "OK",
                                  "protected mode", "Go to master mode"}));

    // Hidden or unticked: nothing after "Transmission OK".
    form.cbAvtoSetFilter->hide();
    bootLoader(emu::BootGeneration::Old);
    EXPECT_EQ(pgm(), (QStringList{"passed 0 block", "Given all", "Transmission OK"}));
    form.cbAvtoSetFilter->show();
    form.cbAvtoSetFilter->setChecked(false);
    bootLoader(emu::BootGeneration::Old);
    EXPECT_EQ(pgm(), (QStringList{"passed 0 block", "Given all", "Transmission OK"}));
}

TEST_F(Programming, RefusalsBeforeARun) {
    form.FProcessStop = true;
    EXPECT_EQ(pgm(), QStringList{"The file is not selected"});
    EXPECT_FALSE(form.FProcessStop);

    th::LinkedReader com4{4};
    TForm1 other;
    other.FProcessStop = true;
    other.btPGM->click();
    EXPECT_EQ(th::logLines(other), QStringList{"\u0421\u041E\u041C is not selected"});
    EXPECT_TRUE(other.FProcessStop);
    EXPECT_TRUE(com4.reader.received().empty());
}

}  // namespace
