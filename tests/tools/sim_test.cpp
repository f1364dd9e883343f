// torvik-reader-sim as a user runs it: a process of its own that the configurator talks to.

#include <unistd.h>
#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>

#include <gtest/gtest.h>

#include "link/port_names.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"
#include "tests/support/sim_process.h"

namespace {

using th::Sim;
using th::simEnvironment;
const QString kSim = QStringLiteral(TORVIK_SIM_PATH);

QString linkOf(const QString& name) {
    return comlink::portLinkFolder() + '/' + name;
}

TEST(ReaderSim, HelpExplainsEveryOptionWithExamples) {
    QProcess p;
    p.start(kSim, {"--help"});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString help = QString::fromUtf8(p.readAllStandardOutput());
    for (const char* option :
         {"--com", "--model", "--firmware", "--mode", "--params", "--filters", "--no-master",
          "--boot", "--blocks", "--save-image", "--check-ports", "Examples:"})
        EXPECT_TRUE(help.contains(option)) << option;
}

TEST(ReaderSim, WrongValuesAreRefusedWithAReason) {
    for (const QStringList& args :
         {QStringList{"--model", "300"}, QStringList{"--firmware", "1.7"},
          QStringList{"--params", "0102"}, QStringList{"--boot", "middle"},
          QStringList{"--com", "COM0"}, QStringList{"--mode", "sleepy"}}) {
        QProcess p;
        p.setProcessEnvironment(simEnvironment());
        p.start(kSim, args);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitCode(), 2) << args.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().startsWith("torvik-reader-sim: "));
    }
}

TEST(ReaderSim, TwoSimulatorsTakeTwoNamesAndLeaveNoLinkBehind) {
    QString first, second;
    {
        Sim a({});
        Sim b({});
        first = a.comName();
        second = b.comName();
        ASSERT_FALSE(first.isEmpty());
        ASSERT_FALSE(second.isEmpty());
        EXPECT_NE(first, second);
        EXPECT_TRUE(QFileInfo(linkOf(first)).isSymLink());
        EXPECT_TRUE(QFileInfo(linkOf(second)).isSymLink());
        ::kill(static_cast<pid_t>(b.p.processId()), SIGINT);  // Ctrl+C
        ASSERT_TRUE(b.p.waitForFinished(3000));
        EXPECT_EQ(b.p.exitCode(), 0);
        EXPECT_FALSE(QFileInfo(linkOf(second)).isSymLink());
    }  // SIGTERM for the first
    EXPECT_FALSE(QFileInfo(linkOf(first)).isSymLink());
}

// A bench in one command, and a reader that connects and disconnects on SIGUSR1.
TEST(ReaderSim, CountStartsABenchAndUsr1ConnectsAndDisconnectsItsReaders) {
    QTemporaryDir dir;
    QStringList names;
    {
        Sim bench({"--count", "3", "--silent", "--save-image", dir.filePath("got.rom")});
        for (int i = 0; i < 100 && bench.out.count(" on COM") < 3; ++i) bench.output();
        for (const QString& line : bench.out.split('\n'))
            if (line.contains(" on COM")) names << line.section(" on ", 1).trimmed();
        ASSERT_EQ(names.size(), 3) << bench.out.toStdString();
        for (const QString& n : names)
            EXPECT_TRUE(QFileInfo(linkOf(n)).isSymLink()) << n.toStdString();
        auto read = [&](const QString& name) {
            QProcess cli;
            cli.setProcessEnvironment(simEnvironment());
            cli.start(QStringLiteral(TORVIK_CLI_PATH), {"--port", name, "read"});
            cli.waitForFinished(30000);
            return cli.exitCode();
        };
        EXPECT_EQ(read(names[1]), 1) << "a silent reader answered";
        ::kill(static_cast<pid_t>(bench.p.processId()), SIGUSR1);
        for (int i = 0; i < 40 && !bench.out.contains("readers connected"); ++i) bench.output();
        EXPECT_EQ(read(names[1]), 0);
        EXPECT_TRUE(bench.out.contains(names[1] + " ->")) << "each exchange says whose it is";
    }
    for (const QString& n : names)
        EXPECT_FALSE(QFileInfo(linkOf(n)).isSymLink()) << n.toStdString();
}

TEST(ReaderSim, RefusesToReplaceALinkThatIsNotItsOwn) {
    const QString taken = linkOf("COM21");
    QFile::link("/dev/null", taken);
    QProcess p;
    p.setProcessEnvironment(simEnvironment());
    p.start(kSim, {"--com", "COM21"});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().contains("COM21 is taken"));
    EXPECT_EQ(QFileInfo(taken).symLinkTarget(), QStringLiteral("/dev/null"));
    QFile::remove(taken);
}

TEST(ReaderSim, ConfiguratorReadsWritesAndReadsBackAndTheSimulatorLogsIt) {
    Sim sim({"--com", "COM9", "--model", "4", "--firmware", "0.7.30", "--mode", "reader"});
    ASSERT_EQ(sim.comName(), QStringLiteral("COM9"));
    th::ModalCatcher catcher;
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, "COM9"));
    form.btVersion->click();
    EXPECT_EQ(th::logLines(form).mid(0, 6),
              (QStringList{"OK", "VERSION  4.0.7.30", "model: QLN-M2", "OK", "PARAM  0A0000004100",
                           "Mode: reader."}));
    form.cbLock->setChecked(false);
    form.cbRestrictTm->setChecked(true);
    form.btWriteParam->click();
    EXPECT_EQ(th::logLines(form).last(), QStringLiteral("OK"));
    form.btVersion->click();
    EXPECT_TRUE(th::logLines(form).contains("PARAM  0A0000010100"));
    EXPECT_TRUE(form.cbRestrictTm->isChecked());
    EXPECT_FALSE(form.cbLock->isChecked());

    const QString log = sim.output();
    EXPECT_TRUE(log.contains("-> 02 07 07 28 00 38 00")) << log.toStdString();
    EXPECT_TRUE(log.contains("version request"));
    EXPECT_TRUE(log.contains("reply to parameter request: accepted"));
    EXPECT_TRUE(log.contains("-> 02 0B 09 1C 01 01 00 34 00"));
    EXPECT_TRUE(log.contains("parameter write"));
    EXPECT_TRUE(catcher.boxes.empty());
}

TEST(ReaderSim, ProgrammingRehearsalSavesTheImageItReceived) {
    QTemporaryDir dir;
    const QString saved = dir.filePath("received.rom");
    Sim sim({"--com", "COM11", "--model", "2", "--save-image", saved});
    ASSERT_EQ(sim.comName(), QStringLiteral("COM11"));
    QByteArray image(300, 0);
    for (int i = 0; i < 300; ++i) image[i] = static_cast<char>(i);
    image[296] = 0x2C;  // the length trailer: 300
    image[297] = 0x01;
    image[298] = image[299] = 0;
    const QString rom = dir.filePath("fw.rom");
    QFile f(rom);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(image);
    f.close();

    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, "COM11"));
    ASSERT_TRUE(form.loadFirmware(rom));
    form.btTST->click();
    form.btPGM->click();
    EXPECT_EQ(th::logLines(form), (QStringList{"OK", "passed 0 block", "passed 1 block",
                                               "passed 2 block", "Given all", "Transmission OK"}));
    // The image itself, cut at its length trailer: not the filling of its last block.
    auto savedBytes = [&] {
        QFile back(saved);
        return back.open(QIODevice::ReadOnly) ? back.readAll() : QByteArray("(none)");
    };
    EXPECT_EQ(savedBytes(), image);
    EXPECT_TRUE(sim.output().contains("boot: old-type block 2"));

    // The next run starts the file anew: a run stopped after its first block leaves that block
    // only, nothing of the run before.
    QByteArray other(600, '\x44');
    other.replace(596, 4, QByteArray(4, 0));
    QFile g(rom);
    ASSERT_TRUE(g.open(QIODevice::WriteOnly | QIODevice::Truncate));
    g.write(other);
    g.close();
    ASSERT_TRUE(form.loadFirmware(rom));
    form.btTST->click();
    QTimer::singleShot(300, &form, [&] { form.btStop->click(); });
    form.btPGM->click();
    EXPECT_EQ(th::logLines(form).last(), QStringLiteral("Transmission OK"));
    EXPECT_EQ(savedBytes(), other.left(132));
}

// Every command line that cannot be meant as written is refused, naming what is wrong, before
// any link is made.
TEST(ReaderSim, WrongCommandLinesAreErrorsBeforeAnythingIsLinked) {
    QTemporaryDir dir;
    struct Case {
        QStringList args;
        const char* says;
    };
    const Case cases[] = {
        {{"COM9x"}, "'COM9x' is no COM name"},
        {{"COM5", "COM6"}, "one COM name at most"},
        {{"COM7", "--com", "COM8"}, "the COM name is given twice"},
        {{"--com", "COM7", "--com", "COM8"}, "--com is given twice"},
        {{"--model", "4", "--model", "5"}, "--model is given twice"},
        {{"--no-master", "--no-master"}, "--no-master is given twice"},
        {{"--params", "01410000000A00000G"}, "--params takes 9 bytes in hexadecimal"},
        {{"--filters", "zz"}, "--filters takes 32 bytes"},
        {{"--model", "256"}, "--model takes a number from 0 to 255, not '256'"},
        {{"--firmware", "1.7.256"}, "--firmware: each part goes from 0 to 255"},
        {{"--blocks", "999", "--boot", "new"}, "--blocks takes a number from 0 to 998"},
        {{"--blocks", "5", "--boot", "old"}, "--blocks counts the block requests"},
        {{"--blocks", "5", "--model", "4"}, "--blocks counts the block requests"},
        {{"--mode", "key", "--params", "01410000000A000000"}, "--mode and --params"},
        {{"--check-ports", "COM9"}, "--check-ports takes no COM name"},
        {{"--check-ports", "--model", "4"}, "--check-ports takes no --model"},
        {{"--make-rom", dir.filePath("x.rom"), "--mode", "reader"}, "--make-rom takes no --mode"},
        {{"--size", "100"}, "--size goes with --make-rom"},
        {{"--make-rom", dir.filePath("x.rom"), "--size", "7"}, "--size takes a number from 8"},
        {{"--make-rom", "/nonexistent/dir/x.rom"}, "--make-rom: cannot write"},
        {{"--save-image", "/nonexistent/dir/x.rom"},
         "--save-image: cannot write /nonexistent/dir/x.rom: there is no folder"},
        {{"--save-image", dir.path()}, "is not a regular file"},
        {{"--bogus"}, "Unknown option 'bogus'; see torvik-reader-sim --help"},
        {{"--count", "0"}, "--count takes a number from 1 to 64, not '0'"},
        {{"--count", "2", "COM7"}, "--count takes free names of its own"},
    };
    const QStringList before = QDir(comlink::portLinkFolder()).entryList(QDir::System);
    for (const Case& c : cases) {
        QProcess p;
        p.setProcessEnvironment(simEnvironment());
        p.start(kSim, c.args);
        ASSERT_TRUE(p.waitForFinished(5000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), 2) << c.args.join(' ').toStdString();
        EXPECT_TRUE(err.startsWith("torvik-reader-sim: ")) << err.toStdString();
        EXPECT_TRUE(err.contains(c.says))
            << c.args.join(' ').toStdString() << ": " << err.toStdString();
        EXPECT_TRUE(p.readAllStandardOutput().isEmpty()) << c.args.join(' ').toStdString();
    }
    EXPECT_EQ(QDir(comlink::portLinkFolder()).entryList(QDir::System), before);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("x.rom")));
}

TEST(ReaderSim, APositionalComNameIsTakenAsComIs) {
    Sim sim({"COM14"});
    EXPECT_EQ(sim.comName(), QStringLiteral("COM14"));
    EXPECT_TRUE(QFileInfo(linkOf("COM14")).isSymLink());
}

TEST(ReaderSim, MakeRomWritesAFileWhoseTrailerGivesTheImage) {
    QTemporaryDir dir;
    const QString rom = dir.filePath("rehearsal.rom");
    QProcess p;
    p.start(kSim, {"--make-rom", rom, "--size", "1000"});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 0);
    QFile f(rom);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    ASSERT_GT(file.size(), 1000);  // a header, then the image
    EXPECT_EQ(file.right(4), QByteArray::fromHex("E8030000"));
    TForm1 form;
    ASSERT_TRUE(form.loadFirmware(rom));
    EXPECT_EQ(form.F->data(), file.right(1000));

    // Without --size: 4096 bytes, 32 old-type blocks; for a new-type boot loader, its flash of
    // 262-byte blocks and the trailer.
    const std::pair<QStringList, int> sizes[] = {{{}, 4096},
                                                 {{"--model", "15"}, 16 * 262 + 4},
                                                 {{"--boot", "new", "--blocks", "3"}, 3 * 262 + 4}};
    for (const auto& [args, bytes] : sizes) {
        p.start(kSim, QStringList{"--make-rom", rom} + args);
        ASSERT_TRUE(p.waitForFinished(5000));
        ASSERT_TRUE(form.loadFirmware(rom));
        EXPECT_EQ(form.F->size(), bytes) << args.join(' ').toStdString();
    }
}

TEST(ReaderSim, ALinkLeftByAKilledSimulatorIsTakenOverOneOfALiveOneIsNot) {
    Sim first({"--com", "COM22"});
    ASSERT_EQ(first.comName(), QStringLiteral("COM22"));
    // While it runs, its name is its own.
    {
        QProcess second;
        second.setProcessEnvironment(simEnvironment());
        second.start(kSim, {"--com", "COM22"});
        ASSERT_TRUE(second.waitForFinished(5000));
        EXPECT_EQ(second.exitCode(), 2);
        EXPECT_TRUE(second.readAllStandardError().contains("COM22 is taken"));
    }
    ::kill(static_cast<pid_t>(first.p.processId()), SIGKILL);
    ASSERT_TRUE(first.p.waitForFinished(3000));
    ASSERT_TRUE(QFileInfo(linkOf("COM22")).isSymLink());  // left behind

    Sim again({"--com", "COM22"});
    EXPECT_EQ(again.comName(), QStringLiteral("COM22"));
    EXPECT_TRUE(
        again.out.contains("COM22 was left by a simulator that no longer runs: taking "
                           "it over"))
        << again.out.toStdString();
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, "COM22"));
    form.btVersion->click();
    EXPECT_EQ(th::logLines(form).mid(0, 2), (QStringList{"OK", "VERSION  15.1.7.1"}));
}

TEST(Programs, EachSaysItsVersionFromTheBuildAndItsUsage) {
    for (const QString& program :
         {kSim, QStringLiteral(TORVIK_CONFIG_PATH), QStringLiteral(TORVIK_BENCH_PATH)}) {
        const QString name = QFileInfo(program).fileName();
        QProcess p;
        p.start(program, {"--version"});
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitCode(), 0) << name.toStdString();
        EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()),
                  name + " " + QStringLiteral(TORVIK_VERSION) + "\n");
        p.start(program, {"--help"});
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitCode(), 0) << name.toStdString();
        EXPECT_TRUE(p.readAllStandardOutput().startsWith("Usage: ")) << name.toStdString();
    }
}

TEST(Programs, TheConfiguratorRefusesArgumentsItDoesNotTake) {
    for (const QString& arg : {QStringLiteral("COM2"), QStringLiteral("--bogus")}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TORVIK_CONFIG_PATH), {arg});
        ASSERT_TRUE(p.waitForFinished(5000)) << "the window started";
        EXPECT_EQ(p.exitCode(), 2);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_TRUE(err.contains("torvik-config: unknown argument '" + arg + "'"))
            << err.toStdString();
        EXPECT_TRUE(err.contains("see torvik-config --help"));
    }
    // A trace that cannot be written is an error before any window shows.
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TORVIK_CONFIG_PATH), {"--trace", "/nonexistent/dir/trace.txt"});
        ASSERT_TRUE(p.waitForFinished(5000)) << "the window started";
        EXPECT_EQ(p.exitCode(), 2);
        EXPECT_TRUE(p.readAllStandardError().contains(
            "torvik-config: cannot write the trace to /nonexistent/dir/trace.txt"));
    }
    // Qt's own options are Qt's: the window starts with one.
    QProcess p;
    p.start(QStringLiteral(TORVIK_CONFIG_PATH), {"-platform", "offscreen"});
    EXPECT_FALSE(p.waitForFinished(1500)) << "ended with " << p.exitCode();
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(3000));
    EXPECT_EQ(p.exitCode(), 0);
}

TEST(Programs, TheBenchRefusesUnknownArguments) {
    QProcess p;
    p.start(QStringLiteral(TORVIK_BENCH_PATH), {"--fast"});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().contains("unknown argument '--fast'"));
}

TEST(ReaderSim, ParameterAndFilterBlocksMasterModeAndNewTypeBootLoader) {
    // A QLN-N3 whose blocks come from the command line, refusing its filters.
    Sim sim({"--com", "COM13", "--model", "16", "--params", "01 C2 01 01 00 14 00 00 00",
             "--filters", "AA55000000000000000000000000000040000000000000000000000000000000",
             "--no-master", "--boot", "new", "--blocks", "2"});
    ASSERT_EQ(sim.comName(), QStringLiteral("COM13"));
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, "COM13"));
    form.btVersion->click();
    const QStringList lines = th::logLines(form);
    EXPECT_EQ(lines.mid(3), (QStringList{"OK", "PARAM  14000101C201", "Mode: protected.",
                                         "Wiegand 34", "RdAll format",
                                         "The filter not read. It is necessary to enter the "
                                         "master mode."}));
    EXPECT_TRUE(form.cbPolLock->isChecked());
    EXPECT_EQ(form.edTimeOpen->text(), QStringLiteral("2000"));
    EXPECT_TRUE(form.cbProgPgm->isChecked());

    QTemporaryDir dir;
    ASSERT_TRUE(form.loadFirmware(th::writeFillImage(dir.path(), 4 * 262, '\x33')));
    form.btTST->click();
    const int at = static_cast<int>(th::logLines(form).size());
    form.btPGM->click();
    EXPECT_EQ(th::logLines(form).mid(at),
              (QStringList{"passed 0 block old type", "passed 1 block old type", "END OF PGM"}));
    const QString log = sim.output();
    EXPECT_TRUE(log.contains("boot: PROG request"));
    EXPECT_TRUE(log.contains("boot: asks for block 999"));
}

TEST(ReaderSim, CheckPortsSaysWhetherThereIsAPortToOpen) {
    QProcess p;
    QProcessEnvironment env = simEnvironment();
    p.setProcessEnvironment(env);
    Sim sim({"--com", "COM12"});
    ASSERT_EQ(sim.comName(), QStringLiteral("COM12"));
    p.start(kSim, {"--check-ports"});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(p.readAllStandardOutput().contains("COM12\t/dev/pts/"));
}

TEST(ReaderSim, CheckPortsTellsAUserWithoutPermissionHowToGetIt) {
    // Needs a user that lacks the permission: root starts the check as nobody.
    if (::geteuid() != 0 || !QFileInfo::exists("/usr/sbin/runuser"))
        GTEST_SKIP() << "needs root and runuser";
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther);
    const QString secret = dir.filePath("ttySecret");
    QFile f(secret);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    QFile::setPermissions(secret, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QDir().mkpath(dir.filePath("torvik-config/ports"));
    QFile::link(secret, dir.filePath("torvik-config/ports/COM40"));
    QProcess p;
    p.start("/usr/sbin/runuser", {"-u", "nobody", "--", "env", "HOME=" + dir.path(),
                                  "XDG_DATA_HOME=" + dir.path(), kSim, "--check-ports"});
    ASSERT_TRUE(p.waitForFinished(10000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    if (err.contains("Permission denied") && !err.contains("may not use"))
        GTEST_SKIP() << "nobody cannot run the simulator here: " << err.toStdString();
    EXPECT_EQ(p.exitCode(), 1);
    // A device of root alone: no group helps, a udev rule does.
    const QStringList lines = err.split('\n');
    EXPECT_EQ(lines.first(), "No serial port can be opened here.");
    EXPECT_TRUE(lines.contains(secret +
                               ": you may not use it; only root may use it: a udev rule can give "
                               "it a group of yours, e.g. GROUP=\"dialout\"."))
        << err.toStdString();
}

}  // namespace
