// Clicks during a programming run, as a user makes them on a real X display: the window ignores
// them, and none of them acts once the run is over.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tests/support/xdesk.h"

namespace {

QStringList traceLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The index of the first trace line after `from` that holds `event`; -1 for none.
qsizetype findEvent(const QStringList& trace, const QString& event, qsizetype from = 0) {
    for (qsizetype i = from; i < trace.size(); ++i)
        if (trace[i].contains(event)) return i;
    return -1;
}

// The end frame is the last packet the window sends without looking at its input: clicks made
// while the boot loader answers it (here: does not, so the window waits its whole time-out) wait
// in the queue until the run is over. "PGM" was enabled before the run and is again after it; a
// click on it during the run must not start another run then.
TEST(XvfbRun, ClicksMadeWhileTheEndFrameIsOnItsWayNeverActAfterTheRun) {
    th::XDesk desk;
    ASSERT_TRUE(desk.ok()) << "needs Xvfb and xdotool (scripts/deps.sh installs them)";
    QTemporaryDir home;
    emu::PtyReader reader;
    reader.enterBootLoader();
    reader.bootScript({emu::BootAction::model(), emu::BootAction::model(), emu::BootAction::model(),
                       emu::BootAction::silence()});
    const QString lock = th::linkAsLastPort(home.path(), reader.slavePath());
    ASSERT_FALSE(lock.isEmpty());
    const QString rom = th::writeFillImage(home.path(), 132 * 3, 0x5A);
    const QString trace = home.filePath("trace.txt");

    QProcess app;
    const QString window =
        desk.startConfigurator(app, home.path(), {QStringLiteral("--trace"), trace});
    ASSERT_FALSE(window.isEmpty()) << "the window did not show";
    ASSERT_TRUE(desk.pickLastPort(window));
    ASSERT_TRUE(th::waitFor([&] { return QFile::exists(lock); }, th::XDesk::kStepMs))
        << "the port did not open";
    ASSERT_TRUE(desk.chooseFile(window, rom)) << "the file dialog did not take the file";

    ASSERT_TRUE(desk.clickUntil(window, th::kPgm, [&] {
        return !reader.bootLoader().packets.empty();
    })) << "the run did not start";
    ASSERT_TRUE(
        th::waitFor([&] { return reader.bootLoader().packets.size() >= 4; }, th::XDesk::kStepMs))
        << "the run did not reach its end frame";
    // The window now waits 400 ms and then its read time-out of 2 s for the end frame's answer.
    // The pointer still rests on "PGM" from the click that started the run: a click where it
    // rests needs no answer from the busy window, as a move to another control would.
    ASSERT_TRUE(desk.clickWhereThePointerIs());
    ASSERT_TRUE(desk.clickWhereThePointerIs());

    // The run is over once the end frame's wait has timed out; a click that acts after it does so
    // at once.
    qsizetype endFrame = -1;
    ASSERT_TRUE(th::waitFor(
        [&] {
            const QStringList t = traceLines(trace);
            endFrame = findEvent(t, "write E1 02 8D 56");
            return endFrame >= 0 && findEvent(t, "timeout", endFrame) >= 0;
        },
        th::XDesk::kStepMs))
        << "the end frame's wait did not end";
    QThread::msleep(1500);
    const QStringList after = traceLines(trace).mid(endFrame + 1);
    EXPECT_EQ(findEvent(after, "write"), -1)
        << "something was sent after the run: " << after.join('\n').toStdString();
    EXPECT_EQ(reader.bootLoader().packets.size(), 4u);
    EXPECT_TRUE(reader.requests().empty());

    app.terminate();
    ASSERT_TRUE(app.waitForFinished(th::XDesk::kStepMs));
    EXPECT_EQ(app.exitCode(), 0);
}

}  // namespace
