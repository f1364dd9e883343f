// Every exchange of every operation, given every fault a line can bring: the exact lines logged,
// nothing further sent, and the window left as it should be.

#include <QFile>
#include <QTemporaryDir>
#include <set>

#include "filters/filter_codes.h"
#include "firmware/boot_protocol.h"
#include "link/commands.h"
#include "tests/support/read_param.h"

namespace {

using emu::Action;
using emu::BootAction;

enum class Fault { Silence, Garbage, Cut, WrongSum, Refusal, TooShort, HangUp };
const Fault kFaults[] = {Fault::Silence, Fault::Garbage,  Fault::Cut,   Fault::WrongSum,
                         Fault::Refusal, Fault::TooShort, Fault::HangUp};
const char* faultName(Fault f) {
    switch (f) {
        case Fault::Silence:
            return "Silence";
        case Fault::Garbage:
            return "Garbage";
        case Fault::Cut:
            return "Cut";
        case Fault::WrongSum:
            return "WrongSum";
        case Fault::Refusal:
            return "Refusal";
        case Fault::TooShort:
            return "TooShort";
        case Fault::HangUp:
            return "HangUp";
    }
    return "";
}

// The fault as the reader's application answers a command frame.
Action commandFault(Fault f, uint8_t command) {
    switch (f) {
        case Fault::Silence:
            return Action::silence();
        case Fault::Garbage:
            return Action::garbage();
        case Fault::Cut:
            return Action::cut(5);
        case Fault::WrongSum:
            return Action::wrongSum();
        case Fault::Refusal:
            return Action::withStatus(0x01);
        case Fault::TooShort:
            // Accepted, but without the data the sender takes (or without even a status byte).
            if (command == emu::cmd::kVersion || command == emu::cmd::kParams ||
                command == emu::cmd::kReadFilter)
                return Action::reply(emu::replyFrame(command, 0x55, {0x01, 0x02}));
            return Action::reply({0x02, 0x07, 0x05, 0x0E, 0x00});
        case Fault::HangUp:
            return Action::hangUp();
    }
    return Action::model();
}

// The fault as the boot loader answers a packet.
BootAction bootFault(Fault f) {
    switch (f) {
        case Fault::Silence:
            return BootAction::silence();
        case Fault::Garbage:
            return BootAction::garbage();
        case Fault::Cut:
            return BootAction::cutStatus();
        case Fault::WrongSum:
            return BootAction::wrongCheck();
        case Fault::Refusal:
            return BootAction::status(firmware::kNak);
        case Fault::TooShort:
            return BootAction::cutRequest(1);
        case Fault::HangUp:
            return BootAction::hangUp();
    }
    return BootAction::model();
}

// What the programming run logs for a packet that met the fault.
QStringList bootFaultLines(Fault f) {
    switch (f) {
        case Fault::Silence:
        case Fault::Cut:
        case Fault::TooShort:
            return {"Error wr ---  0", "No connection"};
        case Fault::Garbage:
        case Fault::WrongSum:
            return {"No connection"};
        case Fault::Refusal:
            return {"NAK"};
        case Fault::HangUp:
            return {"No connection"};
    }
    return {};
}

QStringList commandVerdict(Fault f, const QString& refusal, const QString& bad = "ERROR CS") {
    return {f == Fault::Refusal ? refusal : bad};
}

class FaultMatrix : public th::ReaderOnCom3 {
public:
    void readAs(uint8_t model,
                std::array<uint8_t, 9> params = {0x01, 0x41, 0, 0, 0, 0x0A, 0, 0, 0}) {
        setVersion(1, 7, 1, model);
        setParams(params);
        readParam();
    }
    void loadImage(int size) {
        QByteArray b(size, 0);
        for (int i = 0; i < size; ++i) b[i] = static_cast<char>(i * 5);
        for (int i = 0; i < 4; ++i) b[size - 4 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        QFile f(dir.filePath("fw.rom"));
        f.open(QIODevice::WriteOnly);
        f.write(b);
        f.close();
        ASSERT_TRUE(form.loadFirmware(dir.filePath("fw.rom")));
    }
    void bootLoader(emu::BootGeneration g, std::vector<uint16_t> order = {}) {
        com3.reader.withBootLoader([&](emu::BootLoader& b) {
            b.generation = g;
            b.order = order;
        });
        com3.reader.enterBootLoader();
    }
    QTemporaryDir dir;
};

struct Operation {
    const char* name;
    uint8_t command;  // the command whose exchange meets the fault; 0 for a boot loader packet
    // Sets the reader up, puts the fault on the exchange under test, runs the operation, and
    // checks what the user sees.
    void (*check)(FaultMatrix& t, Fault f);
};

void readVersion(FaultMatrix& t, Fault f) {
    t.setVersion(1, 7, 1, 15);
    t.com3.reader.script(commandFault(f, emu::cmd::kVersion));
    const QStringList lines = t.press(t.form.btVersion);
    const QString none = "no connection (VER)";
    const bool noReply =
        f == Fault::Silence || f == Fault::Garbage || f == Fault::Cut || f == Fault::HangUp;
    EXPECT_EQ(lines, commandVerdict(f, "NO OK", noReply ? none : "ERROR CS"));
    EXPECT_EQ(t.com3.reader.requests().size(), 1u);
    EXPECT_EQ(t.form.Device, 255);
    EXPECT_EQ(t.form.lbDevice->text(), QStringLiteral("Device: not detected"));
}

const QStringList kReadPrefix{"OK", "VERSION  15.1.7.1", "model: Torvik-N3"};

void readParams(FaultMatrix& t, Fault f) {
    t.setVersion(1, 7, 1, 15);
    t.com3.reader.script({Action::model(), commandFault(f, emu::cmd::kParams)});
    const QStringList lines = t.press(t.form.btVersion);
    EXPECT_EQ(lines, kReadPrefix + commandVerdict(f, "NO OK"));
    EXPECT_LE(t.com3.reader.requests().size(), 2u);
    EXPECT_FALSE(t.form.btWriteParam->isEnabled());
    EXPECT_EQ(t.form.param_1[1], 0x00);
    EXPECT_EQ(t.form.edTimeOpen->text(), QStringLiteral("100"));
}

void readFilters(FaultMatrix& t, Fault f) {
    t.setVersion(1, 7, 1, 15);
    t.com3.reader.script(
        {Action::model(), Action::model(), commandFault(f, emu::cmd::kReadFilter)});
    const QStringList lines = t.press(t.form.btVersion);
    const QStringList decoded{"OK", "PARAM  0A0000004101", "Mode: protected.", "Wiegand 26",
                              "Direct transmission"};
    const QStringList verdict = commandVerdict(
        f, "The filter not read. It is necessary to enter the master mode.", "FILTER ERROR CS");
    EXPECT_EQ(lines, kReadPrefix + decoded + verdict);
    EXPECT_LE(t.com3.reader.requests().size(), 3u);
    EXPECT_FALSE(t.form.bRdFilter);
    EXPECT_EQ(t.form.param_1[0], 0x01);  // still the parameter block
    for (QCheckBox* box : t.form.filterBoxes()) EXPECT_TRUE(box->isHidden());
}

void writeParams(FaultMatrix& t, Fault f, uint8_t model) {
    t.readAs(model);
    t.com3.reader.script(commandFault(f, emu::cmd::kWriteParams));
    const uint8_t stored = t.com3.reader.state().params[1];
    EXPECT_EQ(t.press(t.form.btWriteParam), commandVerdict(f, "NO OK"));
    EXPECT_LE(t.com3.reader.requests().size(), 1u);
    EXPECT_TRUE(t.form.btWriteParam->isEnabled());
    if (f != Fault::HangUp) {
        EXPECT_EQ(t.com3.reader.state().params[1], stored);
    }
}
void writeShort(FaultMatrix& t, Fault f) {
    writeParams(t, f, 4);
}
void writeLong(FaultMatrix& t, Fault f) {
    writeParams(t, f, 13);
}

void filterCodes(FaultMatrix& t, Fault f) {
    t.readAs(10);
    t.com3.reader.script(commandFault(f, emu::cmd::kFilterCode));
    EXPECT_EQ(t.press(t.form.btSetFilter), commandVerdict(f, "Error") + QStringList{"NO OK"});
    EXPECT_LE(t.com3.reader.requests().size(), 1u);
}

const QString kMaster = "NO OK. It is necessary to enter the master mode.";

void filterAuto(FaultMatrix& t, Fault f) {
    t.readAs(4);
    t.com3.reader.script(commandFault(f, emu::cmd::kSetFilter));
    EXPECT_EQ(t.press(t.form.btSetFilter), commandVerdict(f, kMaster));
    EXPECT_LE(t.com3.reader.requests().size(), 1u);
}

void filterExplicit(FaultMatrix& t, Fault f) {
    t.readAs(15);
    ASSERT_TRUE(t.form.bRdFilter);
    t.com3.reader.script(commandFault(f, emu::cmd::kSetFilter));
    const QStringList lines = t.press(t.form.btSetFilter);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].size(), 116);
    EXPECT_EQ(lines.mid(1), commandVerdict(f, kMaster));
    EXPECT_LE(t.com3.reader.requests().size(), 1u);
    EXPECT_TRUE(t.form.bRdFilter);
}

void bootEntry(FaultMatrix& t, Fault f) {
    t.com3.reader.script(commandFault(f, emu::cmd::kBootEntry));
    EXPECT_EQ(t.press(t.form.btTST), commandVerdict(f, "NO OK"));
    EXPECT_LE(t.com3.reader.requests().size(), 1u);
}

// The run after a fault on one of its packets: a hang-up ends it by the failure count, with the
// "COM is broken" box once; any other fault is followed by the packet again.
void expectRun(FaultMatrix& t, Fault f, const QStringList& before, const QStringList& after) {
    const QStringList lines = t.press(t.form.btPGM);
    if (f == Fault::HangUp) {
        QStringList expected = before;
        for (int i = 0; i < 7; ++i) expected << "No connection";
        expected << "Stop scan";
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(t.catcher.boxes.size(), 1u);
        if (!t.catcher.boxes.empty()) {
            EXPECT_EQ(t.catcher.boxes[0].text, "COM is broken");
        }
        return;
    }
    EXPECT_EQ(lines, before + bootFaultLines(f) + after);
    EXPECT_TRUE(t.catcher.boxes.empty());
}

void scriptBoot(FaultMatrix& t, Fault f, int packetsBefore) {
    for (int i = 0; i < packetsBefore; ++i) t.com3.reader.bootScript({BootAction::model()});
    t.com3.reader.bootScript({bootFault(f)});
}

void oldBlock(FaultMatrix& t, Fault f) {
    t.loadImage(264);
    t.bootLoader(emu::BootGeneration::Old);
    scriptBoot(t, f, 0);
    expectRun(t, f, {}, {"passed 0 block", "passed 1 block", "Given all", "Transmission OK"});
    if (f != Fault::HangUp) {
        EXPECT_EQ(t.com3.reader.bootLoader().blocksTaken, 2);
    }
}

void progRequest(FaultMatrix& t, Fault f) {
    t.loadImage(3 * 262 + 4);
    t.bootLoader(emu::BootGeneration::New, {0, 1, 2});
    t.form.cbProgPgm->setChecked(true);
    scriptBoot(t, f, 0);
    expectRun(t, f, {},
              {"passed 0 block old type", "passed 1 block old type", "passed 2 block old type",
               "END OF PGM"});
}

void newBlock(FaultMatrix& t, Fault f) {
    t.loadImage(3 * 262 + 4);
    t.bootLoader(emu::BootGeneration::New, {0, 1, 2});
    t.form.cbProgPgm->setChecked(true);
    scriptBoot(t, f, 1);
    expectRun(t, f, {"passed 0 block old type"},
              {"passed 1 block old type", "passed 2 block old type", "END OF PGM"});
}

void endFrame(FaultMatrix& t, Fault f) {
    t.loadImage(264);
    t.bootLoader(emu::BootGeneration::Old);
    scriptBoot(t, f, 2);
    const QStringList lines = t.press(t.form.btPGM);
    EXPECT_EQ(lines,
              QStringList({"passed 0 block", "passed 1 block", "Given all"}) + bootFaultLines(f));
    EXPECT_EQ(t.catcher.boxes.size(), f == Fault::HangUp ? 1u : 0u);
    EXPECT_EQ(t.com3.reader.bootLoader().packets.size(), 3u);
    EXPECT_TRUE(t.com3.reader.requests().empty());
}

void filterAfterRun(FaultMatrix& t, Fault f) {
    t.readAs(15);
    t.form.cbProgPgm->setChecked(false);
    t.form.cbAvtoSetFilter->setChecked(true);
    t.loadImage(264);
    t.bootLoader(emu::BootGeneration::Old);
    t.com3.reader.script(commandFault(f, emu::cmd::kSetFilter));
    const QStringList lines = t.press(t.form.btPGM);
    QStringList expected{"passed 0 block", "passed 1 block", "Given all", "Transmission OK",
                         " The Set filter command was sent"};
    expected << (f == Fault::Refusal ? "NO OK" : "ERROR CS");
    // The parameter read that follows: the reader is in protected mode, unless the line is gone.
    if (f == Fault::HangUp)
        expected << "ERROR CS";
    else
        expected << "OK"
                 << "protected mode"
                 << "Go to master mode";
    EXPECT_EQ(lines, expected);
}

const Operation kOperations[] = {
    {"ReadParamVersion", emu::cmd::kVersion, readVersion},
    {"ReadParamParameters", emu::cmd::kParams, readParams},
    {"ReadParamFilters", emu::cmd::kReadFilter, readFilters},
    {"WriteParamShort", emu::cmd::kWriteParams, writeShort},
    {"WriteParamLong", emu::cmd::kWriteParams, writeLong},
    {"SetFilterCodes", emu::cmd::kFilterCode, filterCodes},
    {"SetFilterAutomatic", emu::cmd::kSetFilter, filterAuto},
    {"SetFilterExplicit", emu::cmd::kSetFilter, filterExplicit},
    {"GoToTheBoot", emu::cmd::kBootEntry, bootEntry},
    {"PgmOldTypeBlock", 0, oldBlock},
    {"PgmProgRequest", 0, progRequest},
    {"PgmNewTypeBlock", 0, newBlock},
    {"PgmEndFrame", 0, endFrame},
    {"PgmFilterRequest", emu::cmd::kSetFilter, filterAfterRun},
};

class Matrix : public FaultMatrix, public ::testing::WithParamInterface<std::tuple<int, Fault>> {};

TEST_P(Matrix, LogsTheRightLinesSendsNothingFurtherAndLeavesTheWindowRight) {
    const auto [op, fault] = GetParam();
    kOperations[op].check(*this, fault);
}

INSTANTIATE_TEST_SUITE_P(
    EveryExchange, Matrix,
    ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kOperations))),
                       ::testing::ValuesIn(kFaults)),
    [](const auto& info) {
        return std::string(kOperations[std::get<0>(info.param)].name) + "_" +
               faultName(std::get<1>(info.param));
    });

// A command added to the configurator without a row here fails, as does a boot loader packet
// left out.
TEST(Matrix, CoversEveryCommandAndEveryBootLoaderPacket) {
    std::set<uint8_t> covered;
    int bootPackets = 0;
    for (const Operation& op : kOperations) {
        covered.insert(op.command);
        if (op.command == 0) ++bootPackets;
    }
    for (const comlink::Command& c : comlink::cmd::kAll)
        EXPECT_EQ(covered.count(c.code), 1u) << "command 0x" << std::hex << int(c.code);
    EXPECT_EQ(bootPackets, 4);  // old-type block, PROG, new-type block, end frame
}

}  // namespace
