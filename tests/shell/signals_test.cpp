// The real program on a real X display, ended by a signal in the middle of a programming run:
// the run stops as with "Stop", the end frame reaches the boot loader, and the port's lock file
// goes with the program.

#include <signal.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "firmware/boot_protocol.h"
#include "tests/support/harness.h"
#include "tests/support/xdesk.h"

namespace {

template <typename F>
bool waitFor(F&& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QThread::msleep(20);
    }
    return true;
}

struct Signal {
    int number;
    const char* name;
    int exitCode;
};

class SignalDuringRun : public ::testing::TestWithParam<Signal> {};

TEST_P(SignalDuringRun, StopsTheRunSendsTheEndFrameAndLeavesNoLock) {
    th::XDesk desk;
    ASSERT_TRUE(desk.ok()) << "needs Xvfb and xdotool (scripts/deps.sh installs them)";
    QTemporaryDir home;
    emu::PtyReader reader;
    reader.enterBootLoader();
    const QString links = home.filePath(".local/share/torvik-config/ports");
    ASSERT_TRUE(QDir().mkpath(links));
    // The last name of all, so that it is the last entry of the list whatever else this machine
    // has.
    ASSERT_TRUE(QFile::link(QString::fromStdString(reader.slavePath()), links + "/COM128"));
    const QString rom = home.filePath("fw.rom");
    {
        QByteArray image(132 * 20, 0x5A);
        image.replace(image.size() - 4, 4, QByteArray(4, 0));
        QFile f(rom);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(image);
    }
    const QString lock =
        "/run/lock/LCK.." + QString::fromStdString(reader.slavePath()).mid(5).replace('/', '_');

    QProcess app;
    app.setProcessEnvironment(desk.environment(home.path()));
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(TORVIK_CONFIG_PATH, QStringList{});
    ASSERT_TRUE(app.waitForStarted());
    const QString window = desk.waitForWindow("Torvik config V15");
    ASSERT_FALSE(window.isEmpty());

    desk.click(window, th::kPortList);
    desk.key({"End", "Return"});
    ASSERT_TRUE(waitFor([&] { return QFile::exists(lock); }, 5000)) << "the port did not open";

    desk.click(window, th::kOpenFile);
    ASSERT_FALSE(desk.waitForWindow("Select the file to download").isEmpty());
    desk.key({"ctrl+a"});
    desk.type(rom);
    desk.key({"Return"});
    ASSERT_TRUE(waitFor(
        [&] { return desk.waitForWindow("Select the file to download", 0).isEmpty(); }, 5000));

    // The dialog's window can be gone while its modal loop still holds the main window, and
    // then the click is lost; a click while the run goes lands on a disabled "PGM".
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        desk.click(window, th::kPgm);
        started = waitFor([&] { return !reader.bootLoader().packets.empty(); }, 3000);
    }
    ASSERT_TRUE(started && waitFor([&] { return reader.bootLoader().packets.size() >= 2; }, 5000))
        << "the run did not start";
    ::kill(static_cast<pid_t>(app.processId()), GetParam().number);
    ASSERT_TRUE(app.waitForFinished(5000));

    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << "killed by the signal";
    EXPECT_EQ(app.exitCode(), GetParam().exitCode);
    reader.waitUntilQuiet();
    const auto packets = reader.bootLoader().packets;
    ASSERT_GE(packets.size(), 3u);
    EXPECT_LE(packets.size(), 4u) << "the run went on after the signal";
    EXPECT_EQ(th::hex(packets.back()), "E1 02 8D 56");
    EXPECT_FALSE(QFile::exists(lock));
}

INSTANTIATE_TEST_SUITE_P(EachSignal, SignalDuringRun,
                         ::testing::Values(Signal{SIGTERM, "TERM", 0}, Signal{SIGINT, "INT", 130},
                                           Signal{SIGHUP, "HUP", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
