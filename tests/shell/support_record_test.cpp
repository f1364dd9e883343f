// The support record: the wire trace kept in memory without --trace, the record of the window and
// of torvik-cli with what support needs, and nothing of the machine's user.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "device/support_record.h"
#include "link/trace.h"
#include "shell/cli.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/cli_run.h"
#include "tests/support/fake_port.h"
#include "tests/support/harness.h"
#include "tests/support/xdesk.h"

namespace {

constexpr std::array<uint8_t, 9> kBlock{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// The text of a record's section, up to the next one.
QString sectionOf(const QString& record, const QString& title) {
    const qsizetype at = record.indexOf(QStringLiteral("\n== ") + title);
    if (at < 0) return {};
    const qsizetype body = record.indexOf('\n', at + 1) + 1;
    const qsizetype next = record.indexOf(QStringLiteral("\n== "), body);
    return record.mid(body, next < 0 ? -1 : next - body);
}

// What every record must not give away about the machine and its user.
void expectNothingOfTheMachine(const QString& record) {
    EXPECT_FALSE(record.contains(QDir::homePath())) << record.toStdString();
    const QString host = QSysInfo::machineHostName();
    if (host.size() > 1) {
        EXPECT_FALSE(record.contains(host));
    }
}

TEST(TraceRing, KeepsTheNewestWholeLinesWithoutATraceFile) {
    // A port that takes every write: 300 000 bytes of lines through it, well over the ring.
    auto port = comlink::traced(std::make_unique<th::FakePort>(), QStringLiteral("COM42"));
    std::vector<uint8_t> packet(100, 0xC0);
    for (int i = 0; i < 1000; ++i) {
        packet[0] = static_cast<uint8_t>(i);
        port->write(packet.data(), static_cast<int>(packet.size()));
    }
    packet[1] = 0x42;
    port->write(packet.data(), static_cast<int>(packet.size()));
    const QByteArray ring = comlink::traceRing();
    EXPECT_LE(ring.size(), comlink::kTraceRingBytes);
    EXPECT_GT(ring.size(), comlink::kTraceRingBytes - 400);  // one line short of it at most
    // Whole lines only, the newest last.
    const QList<QByteArray> lines = ring.split('\n');
    EXPECT_TRUE(ring.endsWith('\n'));
    EXPECT_TRUE(lines.first().contains(" COM42 - write ")) << lines.first().toStdString();
    EXPECT_TRUE(lines[lines.size() - 2].contains(" write E7 42 C0")) << "the newest is last";
    EXPECT_TRUE(comlink::tracePath().isEmpty());
}

TEST(Scrubbed, KeepsTheProgramsFoldersAndDevicesAndHidesTheRest) {
    const QString home = QDir::homePath();
    const QString backups = device::backupFolder();
    const QString text = QStringLiteral(
                             "Backed up to %1/x.json\n"
                             "0.1 COM3 /dev/ttyUSB0 open\n"
                             "firmware /srv/site/secret/fw.rom\n"
                             "file=\"%2/Documents/site.json\"\n"
                             "Wiegand 34/58 and 7UID to 6UID\n"
                             "0.2 rfc2217://10.0.0.7:7001 open; SOCKET://[::1]:4001 gone\n")
                             .arg(backups, home);
    const QString s = device::scrubbed(text);
    EXPECT_TRUE(s.contains("/dev/ttyUSB0 open")) << s.toStdString();
    EXPECT_TRUE(s.contains("firmware .../fw.rom\n")) << s.toStdString();
    EXPECT_TRUE(s.contains("file=\".../site.json\"")) << s.toStdString();
    EXPECT_TRUE(s.contains("Wiegand 34/58 and 7UID to 6UID"));
    EXPECT_TRUE(s.contains("0.2 rfc2217://10.0.0.7:7001 open; SOCKET://[::1]:4001 gone"))
        << s.toStdString();
    EXPECT_TRUE(s.contains("/torvik-config/backups/x.json"));
    EXPECT_FALSE(s.contains(home + "/")) << s.toStdString();
    const QString user = qEnvironmentVariable("USER");
    if (user.size() > 1) {
        EXPECT_EQ(device::scrubbed(QStringLiteral("held by %1.").arg(user)), "held by <user>.");
    }
    const QString host = QSysInfo::machineHostName();
    if (host.size() > 1) {
        EXPECT_EQ(device::scrubbed(QStringLiteral("on %1 now").arg(host)), "on <host> now");
    }
}

class CliSupportRecord : public ::testing::Test {
protected:
    void SetUp() override { th::setModel(com5.reader, 15, kBlock); }
    th::LinkedReader com5{5};
    QTemporaryDir dir;
};

TEST_F(CliSupportRecord, HoldsTheBytesTheOutputAndTheSettingsWithoutATrace) {
    const QString path = dir.filePath("support.txt");
    const th::CliRun r = th::runCli({"--support-record", path, "--port", "COM5", "read"});
    ASSERT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    const QString record = readAll(path);
    EXPECT_TRUE(record.startsWith("Support record of torvik-cli ")) << record.toStdString();
    EXPECT_TRUE(record.contains(QStringLiteral("Qt %1").arg(qVersion())));
    // The version request and its reply, as --trace writes them.
    const QString device = QString::fromStdString(com5.reader.slavePath());
    const QString trace = sectionOf(record, "Wire trace");
    EXPECT_TRUE(trace.contains(QStringLiteral(" COM5 %1 write 02 07 07 28 00 38 00\n").arg(device)))
        << trace.toStdString();
    EXPECT_TRUE(trace.contains(QStringLiteral(" COM5 %1 read 02 07 0B waited=").arg(device)));
    EXPECT_TRUE(trace.contains(QStringLiteral(" read 28 55 01 07 01 0F ")));
    // The output as printed, and the settings as a settings file.
    EXPECT_EQ(sectionOf(record, "Output"), r.out) << record.toStdString();
    const QString settings = sectionOf(record, "Settings last read");
    EXPECT_TRUE(settings.contains("\"paramBlock\": \"01410000000A000000\""))
        << settings.toStdString();
    EXPECT_TRUE(settings.contains("\"name\": \"Torvik-N3\""));
    EXPECT_TRUE(sectionOf(record, "Ports").contains("COM5\t"));
    expectNothingOfTheMachine(record);
}

TEST_F(CliSupportRecord, SeveralPortsGiveEachPortsSettingsAndTheirTraces) {
    th::LinkedReader com6{6};
    th::setModel(com6.reader, 13, {0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    const QString path = dir.filePath("support.txt");
    const th::CliRun r = th::runCli({"--support-record", path, "--port", "COM5,COM6", "read"});
    ASSERT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    const QString record = readAll(path);
    const QString settings = sectionOf(record, "Settings last read");
    EXPECT_TRUE(settings.contains("COM5:\n{") && settings.contains("COM6:\n{"))
        << settings.toStdString();
    EXPECT_TRUE(settings.contains("\"paramBlock\": \"01410000000A000000\""));
    EXPECT_TRUE(settings.contains("\"paramBlock\": \"00010000000A000000\""));
    // The output as printed: each line with its port, then the summary.
    const QString output = sectionOf(record, "Output");
    EXPECT_TRUE(output.contains("COM5: VERSION  15.1.7.1\n")) << output.toStdString();
    EXPECT_TRUE(output.contains("COM6: VERSION  13.1.7.1\n")) << output.toStdString();
    const QString trace = sectionOf(record, "Wire trace");
    EXPECT_TRUE(trace.contains(" COM5 ") && trace.contains(" COM6 "));
}

TEST_F(CliSupportRecord, AFileThatCannotBeWrittenStopsTheCommandBeforeAnythingIsSent) {
    const QString path = dir.filePath("no/such/folder/support.txt");
    const th::CliRun r = th::runCli({"--support-record", path, "--port", "COM5", "read"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("cannot write the support record to " + path))
        << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(com5.reader.received().empty());
}

TEST_F(CliSupportRecord, AFirmwareFilesFolderIsNotGivenAway) {
    // A file outside the program's folders, named in the output of a refused run.
    QDir(dir.path()).mkpath("site-of-someone");
    const QString rom = dir.filePath("site-of-someone/fw.rom");
    const QString path = dir.filePath("support.txt");
    const th::CliRun r =
        th::runCli({"--support-record", path, "--port", "COM5", "program", rom, "--prog-pgm"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains(rom)) << r.err.toStdString();
    const QString record = readAll(path);
    EXPECT_FALSE(record.contains("site-of-someone")) << record.toStdString();
    EXPECT_TRUE(record.contains(".../fw.rom")) << record.toStdString();
}

TEST(WindowSupportRecord, AFolderThatIsNotThereIsSaidInTheStatusPanel) {
    th::ModalCatcher catcher;
    TForm1 form;
    QTemporaryDir dir;
    const QString path = dir.filePath("none/support.txt");
    EXPECT_FALSE(form.saveSupportRecord(path));
    EXPECT_TRUE(form.pnlState->text().startsWith("The support record was not saved: " + path))
        << form.pnlState->text().toStdString();
    EXPECT_FALSE(QFile::exists(path));
}

// As a user does it on a real display: "Read param", then the log's context menu and its
// "Save support record...", with no --trace given.
TEST(XvfbSupportRecord, ReadParamThenTheLogsMenuSavesTheBytesTheLogAndTheSettings) {
    th::XDesk desk;
    ASSERT_TRUE(desk.ok()) << "needs Xvfb and xdotool (scripts/deps.sh installs them)";
    QTemporaryDir home;
    emu::PtyReader reader;
    th::setModel(reader, 15, kBlock);
    const QString lock = th::linkAsLastPort(home.path(), reader.slavePath());
    ASSERT_FALSE(lock.isEmpty());
    const QString backups = home.filePath(".local/share/torvik-config/backups");
    const QString path = home.filePath("support.txt");

    QProcess app;
    const QString window = desk.startConfigurator(app, home.path());
    ASSERT_FALSE(window.isEmpty()) << "the window did not show";
    ASSERT_TRUE(desk.pickLastPort(window));
    ASSERT_TRUE(th::waitFor([&] { return QFile::exists(lock); }, th::XDesk::kStepMs))
        << "the port did not open";
    ASSERT_TRUE(desk.click(window, th::kReadParam));
    // "Read param" is over once its backup is written.
    ASSERT_TRUE(th::waitFor([&] { return !QDir(backups).entryList(QDir::Files).isEmpty(); },
                            th::XDesk::kStepMs))
        << "Read param did not read the reader";
    // The log's context menu from the keyboard, its last entry, and the file's name.
    ASSERT_TRUE(desk.click(window, th::kLog));
    ASSERT_TRUE(desk.key({"Menu"}));
    ASSERT_TRUE(desk.key({"Up", "Return"}));
    const QString dialog = desk.waitForWindow("Save support record");
    ASSERT_FALSE(dialog.isEmpty()) << "the dialog did not show";
    ASSERT_TRUE(desk.waitForFocus(dialog));
    ASSERT_TRUE(desk.key({"ctrl+a"}) && desk.type(path) && desk.key({"Return"}));
    ASSERT_TRUE(th::waitFor([&] { return QFile::exists(path); }, th::XDesk::kStepMs))
        << "no support record was written";
    app.terminate();
    app.waitForFinished(10000);

    const QString record = readAll(path);
    EXPECT_TRUE(record.startsWith("Support record of torvik-config ")) << record.toStdString();
    const QString device = QString::fromStdString(reader.slavePath());
    const QString trace = sectionOf(record, "Wire trace");
    EXPECT_TRUE(
        trace.contains(QStringLiteral(" COM128 %1 write 02 07 07 28 00 38 00\n").arg(device)))
        << record.toStdString();
    EXPECT_TRUE(trace.contains(QStringLiteral(" read 28 55 01 07 01 0F ")));
    const QString log = sectionOf(record, "Log");
    for (const char* line :
         {"VERSION  15.1.7.1", "model: Torvik-N3", "Mode: protected.", "Wiegand 26", "FILTER READ"})
        EXPECT_TRUE(log.contains(line)) << line << "\n" << log.toStdString();
    EXPECT_TRUE(
        sectionOf(record, "Settings last read").contains("\"paramBlock\": \"01410000000A000000\""));
    EXPECT_TRUE(
        sectionOf(record, "Ports").contains("COM128\t" + device + "\tin use by this program"))
        << sectionOf(record, "Ports").toStdString();
    EXPECT_FALSE(record.contains(home.path())) << "the home folder is given away";
}

}  // namespace
