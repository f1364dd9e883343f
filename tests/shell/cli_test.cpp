// torvik-cli against the emulated reader: for every command, the bytes the reader receives from
// the CLI are the bytes it receives from the window given the same choices; the exit codes; the
// JSON of "read"; Ctrl+C during a run.

#include <signal.h>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "device/settings.h"
#include "device/settings_file.h"
#include "shell/cli.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"

namespace {

using emu::Action;
using th::Bytes;
using th::hex;

using th::cliEnvironment;
using th::CliRun;
using th::runCli;

QStringList outLines(const CliRun& r) {
    QStringList lines = r.out.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

// Two readers set up alike: the window talks to one, the CLI to the other.
class CliAgainstWindow : public ::testing::Test {
public:
    void SetUp() override { ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3"))); }

    void both(const std::function<void(emu::PtyReader&)>& setUp) {
        setUp(win.reader);
        setUp(cli.reader);
    }
    void model(uint8_t code, std::array<uint8_t, 9> params = {0x01, 0x41, 0, 0, 0, 0x0A, 0, 0, 0}) {
        both([&](emu::PtyReader& r) { th::setModel(r, code, params); });
    }
    // Presses the buttons in turn, as a user would, and returns the lines they logged.
    QStringList press(std::initializer_list<QPushButton*> buttons) {
        const int before = static_cast<int>(th::logLines(form).size());
        for (QPushButton* b : buttons) {
            b->click();
            win.reader.waitUntilQuiet();
        }
        return th::logLines(form).mid(before);
    }
    CliRun runOnCom4(QStringList args) {
        const CliRun r = runCli(QStringList{"--port", "COM4"} + args);
        cli.reader.waitUntilQuiet();
        return r;
    }
    static void choose(QComboBox* list, int i) { device::chooseEntry(list, i); }
    // Both readers forget what they received, for the next comparison.
    void startOver() {
        win.reader.clearReceived();
        cli.reader.clearReceived();
    }
    void expectSameBytes() {
        const auto a = win.reader.received();
        const auto b = cli.reader.received();
        EXPECT_FALSE(a.empty());
        EXPECT_EQ(hex(b), hex(a));
    }
    // The window's bytes, then the CLI's read-back of what was written: "Read param" again.
    void expectSameBytesThenReadBack() {
        const auto a = win.reader.received();
        auto b = cli.reader.received();
        ASSERT_GE(b.size(), a.size());
        EXPECT_EQ(hex(Bytes(b.begin(), b.begin() + a.size())), hex(a));
        const auto mine = cli.reader.requests();
        const std::size_t window = win.reader.requests().size();
        ASSERT_GE(mine.size(), window + 2) << "no read-back after the write";
        EXPECT_EQ(mine[window][3], emu::cmd::kVersion);
        EXPECT_EQ(mine[window + 1][3], emu::cmd::kParams);
    }

    th::LinkedReader win{3};
    th::LinkedReader cli{4};
    th::ModalCatcher catcher;
    TForm1 form;
    QTemporaryDir dir;
};

TEST_F(CliAgainstWindow, ReadPrintsTheWindowsLogAndItsJsonMatchesTheBlocksServed) {
    model(15, {0x01, 0x42, 0x00, 0x01, 0x00, 0x0F, 0x00, 0x00, 0x00});
    std::array<uint8_t, 32> filters = emu::defaultFilterBlock();
    filters[16] |= 0x40;  // Filter 2
    both([&](emu::PtyReader& r) {
        r.withModel([&](emu::ReaderModel& m) { m.state.filters = filters; });
    });
    const QStringList windowLines = press({form.btVersion});

    const CliRun plain = runOnCom4({"read"});
    EXPECT_EQ(plain.exitCode, cli::kOk) << plain.err.toStdString();
    EXPECT_EQ(outLines(plain), windowLines);
    expectSameBytes();

    const CliRun json = runOnCom4({"read", "--json"});
    ASSERT_EQ(json.exitCode, cli::kOk);
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out.toStdString();
    EXPECT_TRUE(o["ok"].toBool());
    EXPECT_EQ(o["version"].toString(), "15.1.7.1");
    EXPECT_EQ(o["model"]["code"].toInt(), 15);
    EXPECT_EQ(o["model"]["name"].toString(), "Torvik-N3");
    EXPECT_EQ(o["mode"]["code"].toInt(), 1);
    EXPECT_EQ(o["mode"]["text"].toString(), "protected");
    const QJsonObject settings = o["settings"].toObject();
    EXPECT_EQ(settings["protocol"]["index"].toInt(), 2);  // bits 0-2 of byte 1
    EXPECT_EQ(settings["protocol"]["text"].toString(), form.cbTypeProt->currentText());
    EXPECT_EQ(settings["typecode"]["index"].toInt(), 1);  // bits 0-1 of byte 3
    EXPECT_EQ(settings["openTime"]["ms"].toInt(), 1500);  // 0x0F units of 100 ms
    EXPECT_EQ(settings["openTime"]["shown"].toBool(), !form.edTimeOpen->isHidden());
    // Every option under its control name, shown as the window shows it.
    for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i) {
        const QCheckBox* box = form.optionBoxes()[i];
        const char* name = device::kOptionKeys[i].name;
        SCOPED_TRACE(name);
        const QJsonObject option = settings["options"][QLatin1String(name)].toObject();
        ASSERT_FALSE(option.isEmpty());
        EXPECT_EQ(option["checked"].toBool(), box->isChecked());
        EXPECT_EQ(option["shown"].toBool(), !box->isHidden());
    }
    EXPECT_TRUE(o["filtersRead"].toBool());
    EXPECT_TRUE(o["filters"]["cbFilter2"].toBool());
    EXPECT_FALSE(o["filters"]["cbFilter1"].toBool());  // Filter 2 wins over Filter 1
    EXPECT_EQ(o["paramBlock"].toString(), "01420001000F000000");
    EXPECT_EQ(o["filterBlock"].toString(),
              QString::fromStdString(comlink::hexString(filters.data(), filters.size())));
    QStringList log;
    for (const QJsonValue& v : o["log"].toArray()) log << v.toString();
    EXPECT_EQ(log, windowLines);
}

TEST_F(CliAgainstWindow, WriteTheShortAndTheLongForm) {
    // The short form: three parameter bytes.
    model(4);
    press({form.btVersion});
    choose(form.cbTypeProt, 2);
    form.cbReverseCode->click();
    press({form.btWriteParam});
    CliRun r = runOnCom4({"write", "--protocol", "2", "--set", "Reverse code=1"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    expectSameBytesThenReadBack();

    // The long form, with the open time; the protocol chosen by its text.
    startOver();
    model(13);
    press({form.btVersion});
    choose(form.cbTypeProt, form.cbTypeProt->findText("Wiegand 34"));
    form.cbPolLock->click();
    form.edTimeOpen->setText("2500");
    press({form.btWriteParam});
    r = runOnCom4(
        {"write", "--protocol", "Wiegand 34", "--set", "Polarity lock=1", "--open-time", "2500"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    expectSameBytesThenReadBack();
    // The write request itself, before the read-back.
    const auto cliRequests = cli.reader.requests();
    const std::size_t written = win.reader.requests().size() - 1;
    EXPECT_EQ(hex(cliRequests[written]), hex(win.reader.requests().back()));
    EXPECT_EQ(cliRequests[written][3], emu::cmd::kWriteParams);
}

TEST_F(CliAgainstWindow, WriteRefusesABoxTheWindowDoesNotShowAndSendsNothing) {
    model(4);
    const CliRun r = runOnCom4({"write", "--set", "Lock=0"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("the box \"Lock\" is not shown for this reader"))
        << r.err.toStdString();
    for (const auto& frame : cli.reader.requests()) EXPECT_NE(frame[3], emu::cmd::kWriteParams);
    const CliRun unknown = runOnCom4({"write", "--protocol", "Wiegand 99"});
    EXPECT_EQ(unknown.exitCode, cli::kUsage);
    EXPECT_TRUE(unknown.err.contains("no entry \"Wiegand 99\"")) << unknown.err.toStdString();
}

TEST_F(CliAgainstWindow, SetFilterInEachOfItsThreeForms) {
    // Filter codes, one command a code; the window shows no filter box to change for them.
    model(10);
    press({form.btVersion, form.btSetFilter});
    CliRun r = runOnCom4({"set-filter"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString() << r.out.toStdString();
    expectSameBytes();
    EXPECT_EQ(cli.reader.requests().back()[3], emu::cmd::kFilterCode);
    r = runOnCom4({"set-filter", "--set", "Filter 2=1"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("the box \"Filter 2\" is not shown for this reader"))
        << r.err.toStdString();
    startOver();

    // The automatic request.
    model(4);
    press({form.btVersion, form.btSetFilter});
    r = runOnCom4({"set-filter"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    expectSameBytes();

    // The explicit frame of every box.
    startOver();
    model(15);
    press({form.btVersion});
    form.cbFilter2->click();
    form.cbSmKey->click();
    press({form.btSetFilter});
    r = runOnCom4({"set-filter", "--set", "cbFilter2=1", "--set", "SMK=0"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    EXPECT_EQ(outLines(r).last(), "OK: Filter write.");
    expectSameBytesThenReadBack();

    // A box that the rules undo at once is refused by name, and nothing is written.
    cli.reader.withModel([](emu::ReaderModel& m) { m.state.filters[16] |= 0x40; });
    cli.reader.clearReceived();
    r = runOnCom4({"set-filter", "--set", "cbFilter1=1"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("the box \"cbFilter1\" cannot be ticked: the filter rules undo it"))
        << r.err.toStdString();
    for (const auto& frame : cli.reader.requests()) EXPECT_NE(frame[3], emu::cmd::kSetFilter);
}

TEST_F(CliAgainstWindow, FactorySettingsAndBoot) {
    model(15, {0x01, 0x43, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x00, 0x00});
    press({form.btVersion, form.btFactorySettings, form.btWriteParam});
    const CliRun r = runOnCom4({"factory-settings"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    expectSameBytes();

    startOver();
    press({form.btTST});
    const CliRun boot = runOnCom4({"boot"});
    EXPECT_EQ(boot.exitCode, cli::kOk);
    EXPECT_EQ(outLines(boot), QStringList{"OK"});
    expectSameBytes();
    EXPECT_TRUE(cli.reader.state().inBootLoader);
}

// "Read param", "Open File", "Go to the BOOT" and "PGM" in the window, and program in the CLI.
void programBoth(CliAgainstWindow& t, uint8_t code, emu::BootGeneration g, int imageBytes);

TEST_F(CliAgainstWindow, ProgramOldType) {
    programBoth(*this, 4, emu::BootGeneration::Old, 300);
}

TEST_F(CliAgainstWindow, ProgramNewTypeWithProg) {
    programBoth(*this, 15, emu::BootGeneration::New, 3 * 262 + 4);
}

void programBoth(CliAgainstWindow& t, uint8_t code, emu::BootGeneration g, int imageBytes) {
    const QString rom = th::writeFillImage(t.dir.path(), imageBytes, 0x3C);
    t.model(code);
    t.both([&](emu::PtyReader& r) {
        r.withBootLoader([&](emu::BootLoader& b) {
            b.generation = g;
            // A new-type boot loader's flash holds the image's whole blocks: it asks for each,
            // then for 999.
            b.askFor((imageBytes - 1) / 262);
        });
    });
    t.press({t.form.btVersion});
    ASSERT_TRUE(t.form.loadFirmware(rom));
    const QStringList windowRun = t.press({t.form.btTST, t.form.btPGM});
    const CliRun r = t.runOnCom4({"program", rom});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    t.expectSameBytes();
    EXPECT_EQ(hex(t.cli.reader.bootLoader().image), hex(t.win.reader.bootLoader().image));
    const QStringList lines = outLines(r);
    EXPECT_EQ(lines.mid(lines.size() - windowRun.size()), windowRun);
    EXPECT_TRUE(r.err.contains("the run took")) << r.err.toStdString();
    EXPECT_TRUE(r.err.endsWith(QStringLiteral("torvik-cli: Firmware delivered: %1 of %2 bytes\n")
                                   .arg(g == emu::BootGeneration::New ? 786 : imageBytes)
                                   .arg(imageBytes)))
        << r.err.toStdString();
}

// A signal during a run: the run stops as "Stop" stops it, the boot loader gets its end frame,
// the port and its lock file are released, and the exit code names the signal.
struct CliSignal {
    int number;
    const char* name;
    int exitCode;
};
void PrintTo(const CliSignal& s, std::ostream* os) {
    *os << "SIG" << s.name;
}

class CliSignalDuringRun : public ::testing::TestWithParam<CliSignal> {
protected:
    // Starts a run of 20 old-type blocks and sends the signal once `ready` holds.
    int signalWhen(const std::function<bool()>& ready, int times = 1,
                   const QStringList& more = {}) {
        cli.reader.withModel([](emu::ReaderModel& m) { m.state.version = {1, 7, 1, 4}; });
        const QString rom = th::writeFillImage(dir.path(), 132 * 20, 0x11);
        p.setProcessEnvironment(cliEnvironment());
        p.start(QStringLiteral(TORVIK_CLI_PATH),
                more + QStringList{"--port", "COM4", "program", rom});
        EXPECT_TRUE(p.waitForStarted());
        QElapsedTimer t;
        t.start();
        while (!ready() && t.elapsed() < 20000) QThread::msleep(5);
        EXPECT_TRUE(ready()) << "the run did not get there";
        for (int i = 0; i < times; ++i)
            ::kill(static_cast<pid_t>(p.processId()), GetParam().number);
        EXPECT_TRUE(p.waitForFinished(20000));
        cli.reader.waitUntilQuiet();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    QString lockFile() const {
        return "/run/lock/LCK.." +
               QString::fromStdString(cli.reader.slavePath()).mid(5).replace('/', '_');
    }

    th::LinkedReader cli{4};
    QTemporaryDir dir;
    QProcess p;
};

TEST_P(CliSignalDuringRun, MidRunSendsTheEndFrameAndReleasesThePort) {
    const int code = signalWhen([&] { return cli.reader.bootLoader().packets.size() >= 2; }, 2);
    EXPECT_EQ(code, GetParam().exitCode);
    const auto packets = cli.reader.bootLoader().packets;
    EXPECT_LE(packets.size(), 5u) << "the run went on after the signal";
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(hex(packets.back()), "E1 02 8D 56");
    EXPECT_TRUE(QString::fromUtf8(p.readAllStandardOutput()).endsWith("Transmission OK\n"))
        << "a second signal cut the end frame short";
    EXPECT_FALSE(QFile::exists(lockFile()));
}

// The support record is written after the run that a signal stopped, end frame and all.
TEST_P(CliSignalDuringRun, MidRunTheSupportRecordIsStillWritten) {
    const QString record = dir.filePath("support.txt");
    const int code = signalWhen([&] { return cli.reader.bootLoader().packets.size() >= 2; }, 1,
                                {"--support-record", record});
    EXPECT_EQ(code, GetParam().exitCode);
    QFile f(record);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "no support record after the signal";
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(text.contains("Transmission OK\n")) << text.toStdString();
    EXPECT_TRUE(text.contains(" write E1 02 8D 56\n")) << "the end frame is not in its trace";
}

TEST_P(CliSignalDuringRun, BetweenTheBootEntryAndTheFirstBlockSendsTheEndFrameAlone) {
    const int code = signalWhen([&] { return cli.reader.state().inBootLoader; });
    EXPECT_EQ(code, GetParam().exitCode);
    const auto packets = cli.reader.bootLoader().packets;
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(hex(packets[0]), "E1 02 8D 56");
    EXPECT_FALSE(QFile::exists(lockFile()));
}

INSTANTIATE_TEST_SUITE_P(EachSignal, CliSignalDuringRun,
                         ::testing::Values(CliSignal{SIGINT, "INT", cli::kInterrupted},
                                           CliSignal{SIGTERM, "TERM", cli::kTerminated},
                                           CliSignal{SIGHUP, "HUP", cli::kHangUp}),
                         [](const auto& info) { return std::string(info.param.name); });

// A reader stranded in its boot loader by a cut run: "read" says so (exit 4) and says how to
// program it; "program --in-boot" does, without "Read param" or the boot entry.
TEST_F(CliAgainstWindow, AStrandedReaderIsNamedAndProgrammedInItsBootLoader) {
    model(4);
    cli.reader.enterBootLoader();
    CliRun r = runOnCom4({"read"});
    EXPECT_EQ(r.exitCode, cli::kInBootLoader);
    EXPECT_TRUE(r.err.contains("COM4 answers as its boot loader")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("program --in-boot")) << r.err.toStdString();
    EXPECT_EQ(runOnCom4({"program", "--in-boot", "x.rom"}).exitCode, cli::kUsage);

    const QString rom = th::writeFillImage(dir.path(), 300, 0x5B);
    cli.reader.clearReceived();
    r = runOnCom4({"program", "--in-boot", rom, "--no-prog-pgm"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    EXPECT_TRUE(cli.reader.requests().empty()) << "a command frame went to the boot loader";
    const Bytes got = cli.reader.bootLoader().image;
    ASSERT_GE(got.size(), 300u);
    EXPECT_EQ(hex(Bytes(got.begin(), got.begin() + 300)),
              hex(Bytes(300 - 4, 0x5B)) + " 00 00 00 00");
    EXPECT_TRUE(r.err.endsWith("torvik-cli: Firmware delivered: 300 of 300 bytes\n"))
        << r.err.toStdString();
}

// A boot loader that NAKs every packet: the run gives up after the stall time as "Stop" does.
TEST_F(CliAgainstWindow, ARunThatNoPacketMovesOnGivesUpWithTheEndFrame) {
    model(4);
    cli.reader.withBootLoader([](emu::BootLoader& b) { b.stall = true; });
    const QString rom = th::writeFillImage(dir.path(), 132 * 4, 0x21);
    const CliRun r = runOnCom4({"program", rom, "--stall-timeout", "1"});
    EXPECT_EQ(r.exitCode, cli::kFailed);
    EXPECT_TRUE(r.err.contains("Stopped: the boot loader took no packet for 1 s"))
        << r.err.toStdString();
    const auto packets = cli.reader.bootLoader().packets;
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(hex(packets.back()), "E1 02 8D 56");
}

// The wire trace: each event of the port with its time, every byte whole, a block too; a trace
// that cannot be written is an error before anything is opened.
TEST_F(CliAgainstWindow, TheTraceHoldsEveryByteOfTheRunWithItsTime) {
    model(4);
    const QString rom = th::writeFillImage(dir.path(), 132 * 2, 0x3D);
    const QString trace = dir.filePath("trace.txt");
    const CliRun r = runOnCom4({"--trace", trace, "program", rom});
    ASSERT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    QFile f(trace);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    const QString device = QString::fromStdString(cli.reader.slavePath());
    const QString head =
        QStringLiteral("^\\d+\\.\\d{3} COM4 ") + QRegularExpression::escape(device) + ' ';
    auto find = [&](const QString& event) {
        const QRegularExpression re(head + event);
        for (const QString& l : lines)
            if (re.match(l).hasMatch()) return l;
        return QString();
    };
    EXPECT_FALSE(find("open$").isEmpty());
    EXPECT_FALSE(find("write 02 07 07 28 00 38 00$").isEmpty());
    EXPECT_FALSE(find("read 02 07 0B waited=\\d+\\.\\d{3}$").isEmpty());
    // The second block, all 139 bytes of it, and the end frame.
    const QString block = QString::fromStdString(hex(cli.reader.bootLoader().packets[1]));
    EXPECT_FALSE(find("write " + QRegularExpression::escape(block) + "$").isEmpty());
    EXPECT_FALSE(find("write E1 02 8D 56$").isEmpty());
    EXPECT_TRUE(lines.last().endsWith(" close")) << lines.last().toStdString();

    const CliRun bad = runOnCom4({"--trace", dir.filePath("no/such/folder/t.txt"), "read"});
    EXPECT_EQ(bad.exitCode, cli::kUsage);
    EXPECT_TRUE(bad.err.contains("cannot write the trace to")) << bad.err.toStdString();
}

// Every read is backed up, and "backup" writes the settings where it is told; a backup that
// cannot be written is said and changes nothing else.
TEST_F(CliAgainstWindow, EveryReadIsBackedUpAndBackupWritesAFile) {
    model(13);
    const QString backups =
        cliEnvironment().value("XDG_DATA_HOME") + QStringLiteral("/torvik-config/backups");
    QDir(backups).removeRecursively();
    CliRun r = runOnCom4({"read"});
    ASSERT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    const QStringList kept = QDir(backups).entryList({"*-COM4-model13.json"}, QDir::Files);
    ASSERT_EQ(kept.size(), 1) << QDir(backups).entryList().join(' ').toStdString();
    QString error;
    EXPECT_TRUE(device::readSettingsFile(backups + '/' + kept[0], &error).has_value())
        << error.toStdString();

    const QString file = dir.filePath("reader.json");
    r = runOnCom4({"backup", file});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    const auto saved = device::readSettingsFile(file, &error);
    ASSERT_TRUE(saved.has_value()) << error.toStdString();
    EXPECT_EQ(saved->modelCode, 13);
    EXPECT_EQ(saved->paramBlock[1], 0x41);

    r = runOnCom4({"write", "--set", "cbLock=0"});
    EXPECT_EQ(r.exitCode, cli::kOk);
    EXPECT_TRUE(r.err.contains("the reader's settings were backed up to " + backups + "/"))
        << r.err.toStdString();

    // A folder that cannot be made: the read still goes through, and says so.
    QProcess p;
    QProcessEnvironment env = cliEnvironment();
    env.insert("XDG_DATA_HOME", file);  // a file, no folder; the port by its device
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(TORVIK_CLI_PATH),
            {"--port", QString::fromStdString(cli.reader.slavePath()), "read"});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), cli::kOk);
    EXPECT_TRUE(p.readAllStandardError().contains("the settings read could not be backed up"));
}

// One reader's settings onto another of its model: backup, restore, and both then read alike;
// files that do not fit are refused before anything is written; a write the reader did not take
// is exit 1, by name.
TEST(CliRestore, CloneOneReaderToAnotherAndRefuseWhatDoesNotFit) {
    th::LinkedReader first{5};
    th::LinkedReader second{6};
    th::setModel(first.reader, 13, {0x00, 0xC2, 0x05, 0x02, 0x00, 0x0F, 0x00, 0x00, 0x00});
    th::setModel(second.reader, 13, {0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    QTemporaryDir dir;
    const QString file = dir.filePath("site.json");
    auto cliOn = [](int com, QStringList args) {
        const CliRun r = runCli(QStringList{"--port", QStringLiteral("COM%1").arg(com)} + args);
        return r;
    };
    ASSERT_EQ(cliOn(5, {"backup", file}).exitCode, cli::kOk);
    second.reader.clearReceived();
    const CliRun restored = cliOn(6, {"restore", file});
    EXPECT_EQ(restored.exitCode, cli::kOk) << restored.err.toStdString();
    second.reader.waitUntilQuiet();
    bool wrote = false;
    for (const auto& f : second.reader.requests()) wrote |= f[3] == emu::cmd::kWriteParams;
    EXPECT_TRUE(wrote);
    const CliRun a = cliOn(5, {"read"});
    const CliRun b = cliOn(6, {"read"});
    EXPECT_EQ(a.out, b.out);

    // Refused with the cause, and no write: another model, a cut file, no JSON, no format.
    QFile whole(file);
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray json = whole.readAll();
    whole.close();
    const std::pair<QByteArray, const char*> bad[] = {
        {QByteArray(json).replace("\"code\": 13", "\"code\": 4"), "settings of a model 4"},
        {json.left(json.size() / 3), "not a settings file"},
        {"no json at all", "not a settings file"},
        {"{}", "no \"format\""},
        {QByteArray(json).replace("\"openTimeMs\": 1500", "\"openTimeMs\": 1550"),
         "openTimeMs 1550 (off the reader's 100 ms step)"},
    };
    for (const auto& [content, says] : bad) {
        const QString f = dir.filePath("bad.json");
        QFile w(f);
        ASSERT_TRUE(w.open(QIODevice::WriteOnly | QIODevice::Truncate));
        w.write(content);
        w.close();
        second.reader.clearReceived();
        const CliRun r = cliOn(6, {"restore", f});
        EXPECT_EQ(r.exitCode, cli::kUsage) << says;
        EXPECT_TRUE(r.err.contains(QLatin1String(says))) << r.err.toStdString();
        second.reader.waitUntilQuiet();
        for (const auto& req : second.reader.requests())
            EXPECT_NE(req[3], emu::cmd::kWriteParams) << says;
    }

    // The reader says OK but keeps its settings: the read-back names what it did not take.
    second.reader.script(
        {emu::Action::model(), emu::Action::model(), emu::Action::withStatus(0x55)});
    const CliRun notTaken = cliOn(6, {"write", "--set", "cbLock=0"});
    EXPECT_EQ(notTaken.exitCode, cli::kFailed);
    EXPECT_TRUE(notTaken.err.contains("the reader did not take: cbLock (written 0, reads 1)"))
        << notTaken.err.toStdString();
}

TEST_F(CliAgainstWindow, CtrlCDuringAnExchangeEndsTheCliWhenTheExchangeIsOver) {
    model(15);
    cli.reader.script(Action::silence());
    QProcess p;
    p.setProcessEnvironment(cliEnvironment());
    p.start(QStringLiteral(TORVIK_CLI_PATH), {"--port", "COM4", "read"});
    ASSERT_TRUE(p.waitForStarted());
    QElapsedTimer t;
    t.start();
    while (cli.reader.requests().empty() && t.elapsed() < 10000) QThread::msleep(10);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), cli::kInterrupted);
    EXPECT_EQ(cli.reader.requests().size(), 1u);  // nothing after the unanswered request
}

TEST_F(CliAgainstWindow, ExitCodes) {
    model(15);
    // The reader does not answer: the log line says so, exit 1.
    cli.reader.script(Action::silence());
    CliRun r = runOnCom4({"read"});
    EXPECT_EQ(r.exitCode, cli::kFailed);
    EXPECT_EQ(outLines(r), QStringList{"no connection (VER)"});
    // The reader refuses the boot entry.
    cli.reader.script(Action::withStatus(0x01));
    r = runOnCom4({"boot"});
    EXPECT_EQ(r.exitCode, cli::kFailed);
    EXPECT_EQ(outLines(r), QStringList{"NO OK"});

    // Usage, an unknown port, an unreadable file: 2, and nothing on the line.
    cli.reader.clearReceived();
    EXPECT_EQ(runCli({"--port", "COM4"}).exitCode, cli::kUsage);
    EXPECT_EQ(runCli({"--port", "COM4", "read", "--set", "Lock=1"}).exitCode, cli::kUsage);
    EXPECT_EQ(runCli({"--port", "COM4", "set-filter", "--set", "Lock"}).exitCode, cli::kUsage);
    r = runCli({"--port", "COM77", "read"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("there is no port COM77 here")) << r.err.toStdString();
    r = runOnCom4({"program", dir.filePath("missing.rom")});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("missing.rom")) << r.err.toStdString();
    EXPECT_TRUE(cli.reader.received().empty());

    // Another program holds the port: 3, naming the holder.
    const int fd = th::holdDevice(cli.reader.slavePath());
    ASSERT_GE(fd, 0);
    r = runOnCom4({"read"});
    th::releaseDevice(fd);
    EXPECT_EQ(r.exitCode, cli::kPortUnusable);
    EXPECT_TRUE(r.err.contains(
        QStringLiteral("COM4 is in use by process %1").arg(QCoreApplication::applicationPid())))
        << r.err.toStdString();
    EXPECT_TRUE(cli.reader.received().empty());

    // A device path is taken as typed; output that cannot be written is exit 5, after the
    // operation ran to its end.
    const QString device = QString::fromStdString(cli.reader.slavePath());
    r = runCli({"--port", device, "read"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    EXPECT_EQ(outLines(r).mid(0, 2), (QStringList{"OK", "VERSION  15.1.7.1"}));
    QProcess full;
    full.setProcessEnvironment(cliEnvironment());
    full.setStandardOutputFile(QStringLiteral("/dev/full"));
    full.start(QStringLiteral(TORVIK_CLI_PATH), {"--port", device, "read", "--json"});
    ASSERT_TRUE(full.waitForFinished(60000));
    EXPECT_EQ(full.exitCode(), cli::kOutputFailed);
    cli.reader.waitUntilQuiet();
    EXPECT_EQ(cli.reader.requests().back()[3], emu::cmd::kReadFilter);

    // help and version.
    r = runCli({"--help"});
    EXPECT_EQ(r.exitCode, cli::kOk);
    for (const char* command :
         {"ports", "read", "write", "factory-settings", "set-filter", "boot", "program"})
        EXPECT_TRUE(r.out.contains(QStringLiteral("  ") + command)) << command;
    r = runCli({"--version"});
    EXPECT_EQ(r.out, QStringLiteral("torvik-cli " TORVIK_VERSION "\n"));
}

TEST_F(CliAgainstWindow, PortsListsTheLinkedReaders) {
    const CliRun r = runCli({"ports"});
    EXPECT_EQ(r.exitCode, cli::kOk);
    QStringList names;
    for (const QString& line : outLines(r)) names << line.section('\t', 0, 0);
    EXPECT_FALSE(names.contains("COM3"));  // the window holds it open
    EXPECT_TRUE(names.contains("COM4"));
    for (const QString& line : outLines(r)) {
        if (line.startsWith("COM4\t")) {
            EXPECT_EQ(line.section('\t', 1, 1), QString::fromStdString(cli.reader.slavePath()));
        }
    }
}

// The arguments, without a reader.
TEST(CliArguments, RefusalsNameWhatWasWrong) {
    struct Case {
        QStringList args;
        const char* error;
    };
    const Case cases[] = {
        {{}, "no command given"},
        {{"frob"}, "unknown command \"frob\""},
        {{"read"}, "read needs --port COMn"},
        {{"--port", "COM1", "ports"}, "ports takes no --port"},
        {{"--port", "COM1", "read", "--open-time", "5"}, "read takes no --open-time"},
        {{"--port", "COM1", "program"}, "program takes the firmware file"},
        {{"--port", "COM1", "boot", "extra"}, "unexpected argument \"extra\""},
        {{"--port", "COM1", "write", "--set", "Lock=2"},
         "--set takes \"KEY=0\" or \"KEY=1\", not \"Lock=2\""},
        {{"--port", "COM1", "write", "--open-time", "6553600"},
         "--open-time takes milliseconds from 0 to 6553500, not \"6553600\""},
        {{"--port", "COM1", "write", "--open-time", "1s"},
         "--open-time takes milliseconds from 0 to 6553500, not \"1s\""},
        {{"--port", "COM1", "program", "f.rom", "--prog-pgm", "--no-prog-pgm"},
         "--prog-pgm and --no-prog-pgm together"},
        {{"--bogus"}, "Unknown option 'bogus'."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        EXPECT_EQ(cli::parseArguments(c.args).error.toStdString(), c.error);
    }
    const cli::Parsed ok = cli::parseArguments(
        {"--port", "com7", "write", "--set", "Filter 1=0", "--set", "a=b=1", "--open-time", "0"});
    ASSERT_TRUE(ok.error.isEmpty());
    EXPECT_EQ(ok.options.port, "COM7");
    ASSERT_EQ(ok.options.boxes.size(), 2u);
    EXPECT_EQ(ok.options.boxes[0].key, "Filter 1");
    EXPECT_FALSE(ok.options.boxes[0].checked);
    EXPECT_EQ(ok.options.boxes[1].key, "a=b");
    EXPECT_EQ(ok.options.openTimeMs, 0);
    EXPECT_FALSE(cli::parseArguments({"--port", "COM1", "program", "f.rom"}).options.progPgm);
}

TEST(CliProgress, ABarOnATerminalAndALineABlockElsewhere) {
    EXPECT_EQ(cli::progressLine(false, 25, 2000, 61500, "passed 3 block"),
              "passed 3 block: 500/2000 bytes, 25%, 01:01");
    EXPECT_EQ(cli::progressLine(true, 50, 2000, 3000, "passed 7 block"),
              "[###############...............]  50%  passed 7 block                "
              "1000/2000 bytes  00:03");
}

}  // namespace
