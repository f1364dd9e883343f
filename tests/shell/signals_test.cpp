// A signal in the middle of a programming run: the run stops as with "Stop", the end frame
// reaches the boot loader, the program ends with the signal's exit code and the port's lock file
// goes with it. The window runs off screen and the signal is raised in this process at a known
// point of the run; one case starts the real program on a real X display and signals it from
// outside.

#include <signal.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "firmware/boot_protocol.h"
#include "shell/qln_boot_pgm.h"
#include "shell/signals.h"
#include "tests/support/harness.h"
#include "tests/support/xdesk.h"

namespace {

struct Signal {
    int number;
    const char* name;
    int exitCode;
};

void PrintTo(const Signal& s, std::ostream* os) {
    *os << "SIG" << s.name;
}

class SignalDuringRun : public ::testing::TestWithParam<Signal> {};

TEST_P(SignalDuringRun, StopsTheRunSendsTheEndFrameAndReleasesThePort) {
    th::LinkedReader com3{3};
    com3.reader.enterBootLoader();
    QTemporaryDir dir;
    const QString lock = "/run/lock/LCK.." +
                         QString::fromStdString(com3.reader.slavePath()).mid(5).replace('/', '_');
    int exitCode = -1;
    {
        th::ModalCatcher catcher;
        TForm1 form;
        form.show();
        const SignalCloser closer(&form);
        ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
        ASSERT_TRUE(QFile::exists(lock));
        ASSERT_TRUE(form.loadFirmware(th::writeFillImage(dir.path(), 132 * 20, 0x5A)));
        // The signal arrives while the second block is on its way, as a kill from outside would
        // at any moment of the run.
        QObject::connect(&form, &TForm1::logged, [&](const QString& line) {
            if (line == QLatin1String("passed 1 block")) ::kill(::getpid(), GetParam().number);
        });
        form.btPGM->click();
        QCoreApplication::processEvents();
        EXPECT_FALSE(form.isVisible()) << "the window did not close";
        EXPECT_FALSE(form.runActive());
        EXPECT_TRUE(catcher.boxes.empty());
        EXPECT_EQ(th::logLines(form).mid(0, 2), (QStringList{"passed 0 block", "passed 1 block"}));
        EXPECT_EQ(th::logLines(form).last(), QStringLiteral("Transmission OK"));
        exitCode = closer.exitCode(0);
    }
    EXPECT_EQ(exitCode, GetParam().exitCode);
    com3.reader.waitUntilQuiet();
    const auto packets = com3.reader.bootLoader().packets;
    ASSERT_EQ(packets.size(), 3u) << "the run went on after the signal, or stopped too soon";
    EXPECT_EQ(th::hex(packets.back()), "E1 02 8D 56");
    EXPECT_FALSE(QFile::exists(lock)) << "the lock file outlived the window";
}

INSTANTIATE_TEST_SUITE_P(EachSignal, SignalDuringRun,
                         ::testing::Values(Signal{SIGTERM, "TERM", 0}, Signal{SIGINT, "INT", 130},
                                           Signal{SIGHUP, "HUP", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The real program, clicked as a user would on a real X display and ended by a kill from outside.
// Each step waits for what shows that the one before it is done; none is tried twice.
TEST(SignalToTheProgram, EndsARunWithTheEndFrameAndLeavesNoLock) {
    th::XDesk desk;
    ASSERT_TRUE(desk.ok()) << "needs Xvfb and xdotool (scripts/deps.sh installs them)";
    QTemporaryDir home;
    emu::PtyReader reader;
    reader.enterBootLoader();
    const QString lock = th::linkAsLastPort(home.path(), reader.slavePath());
    ASSERT_FALSE(lock.isEmpty());
    const QString rom = th::writeFillImage(home.path(), 132 * 20, 0x5A);

    QProcess app;
    const QString window = desk.startConfigurator(app, home.path());
    ASSERT_FALSE(window.isEmpty()) << "the window did not show";

    ASSERT_TRUE(desk.pickLastPort(window));
    ASSERT_TRUE(th::waitFor([&] { return QFile::exists(lock); }, th::XDesk::kStepMs))
        << "the port did not open";

    ASSERT_TRUE(desk.chooseFile(window, rom)) << "the file dialog did not take the file";

    // The dialog is gone, so the window takes clicks again; the image was loaded before the
    // dialog's handler returned.
    ASSERT_TRUE(desk.clickUntil(window, th::kPgm, [&] {
        return reader.bootLoader().packets.size() >= 2;
    })) << "the run did not start";
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(th::XDesk::kStepMs));

    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << "killed by the signal";
    EXPECT_EQ(app.exitCode(), 0);
    reader.waitUntilQuiet();
    const auto packets = reader.bootLoader().packets;
    ASSERT_GE(packets.size(), 3u);
    EXPECT_LE(packets.size(), 4u) << "the run went on after the signal";
    EXPECT_EQ(th::hex(packets.back()), "E1 02 8D 56");
    EXPECT_FALSE(QFile::exists(lock));
}

}  // namespace
