// The README's first command as a new user meets it: scripts/run.sh starts the configurator and a
// simulated reader, on a machine where a serial port opens too, and "Read param" on the
// simulator's port gets a real identification.

#include <signal.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "tests/support/harness.h"
#include "tests/support/xdesk.h"

namespace {

QString readUntil(QProcess& p, QString& seen, const QString& wanted, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!seen.contains(wanted) && t.elapsed() < timeoutMs) {
        p.waitForReadyRead(100);
        seen += QString::fromUtf8(p.readAllStandardOutput());
    }
    return seen;
}

// Where each thread of the configurator under the script stands, for a window that does not
// show: the one thing that tells a slow start from a stuck one.
QString stacksOf(qint64 scriptPid) {
    QProcess find;
    find.start("pgrep", {"-P", QString::number(scriptPid), "torvik-config"});
    find.waitForFinished(5000);
    const QString pid = QString::fromUtf8(find.readAllStandardOutput()).trimmed();
    if (pid.isEmpty()) return QStringLiteral("(no torvik-config under run.sh)");
    QProcess gdb;
    gdb.start("gdb", {"-p", pid, "-batch", "-ex", "thread apply all bt 20"});
    if (!gdb.waitForFinished(60000)) return QStringLiteral("(gdb did not answer)");
    return QString::fromUtf8(gdb.readAllStandardOutput()).right(6000);
}

TEST(RunScript, StartsASimulatedReaderBesideARealPortAndReadParamIdentifiesIt) {
    th::XDesk desk;
    ASSERT_TRUE(desk.ok()) << "needs Xvfb and xdotool (scripts/deps.sh installs them)";
    QTemporaryDir home;
    // A serial port that opens, as on any VM or board with a COM header: COM1.
    emu::PtyReader realPort;
    const QString links = home.filePath(".local/share/torvik-config/ports");
    ASSERT_TRUE(QDir().mkpath(links));
    ASSERT_TRUE(QFile::link(QString::fromStdString(realPort.slavePath()), links + "/COM1"));

    QProcess run;
    QProcessEnvironment env = desk.environment(home.path());
    env.insert("TORVIK_SKIP_BUILD", "1");
    env.insert("TORVIK_BUILD_DIR", TORVIK_BUILD_DIR);
    run.setProcessEnvironment(env);
    run.start("bash", {QStringLiteral(TORVIK_SOURCE_DIR) + "/scripts/run.sh"});
    ASSERT_TRUE(run.waitForStarted());
    QString out;
    readUntil(run, out, "in the port list", th::XDesk::kStepMs);
    const QRegularExpressionMatch m =
        QRegularExpression("a simulated reader is on (COM\\d+): pick \\1 in the port list")
            .match(out);
    ASSERT_TRUE(m.hasMatch()) << out.toStdString();
    const QString simName = m.captured(1);
    EXPECT_NE(simName, QStringLiteral("COM1"));
    const QString simLink = links + "/" + simName;
    EXPECT_TRUE(QFileInfo(simLink).isSymLink());

    const QString window = desk.waitForWindow("Torvik config V15");
    ASSERT_FALSE(window.isEmpty()) << "the window did not show; run.sh said:\n"
                                   << (out + QString::fromUtf8(run.readAllStandardOutput()) +
                                       QString::fromUtf8(run.readAllStandardError()))
                                          .toStdString()
                                   << "\nwhere the configurator is:\n"
                                   << stacksOf(run.processId()).toStdString();
    // The simulator's port is listed after COM1: the last entry. Its lock file shows that the
    // pick is done and the list's popup gone, so that the next click reaches the window.
    const QString simDevice = QFileInfo(simLink).symLinkTarget();
    const QString lock = "/run/lock/LCK.." + simDevice.mid(5).replace('/', '_');
    ASSERT_TRUE(desk.pickLastPort(window));
    QElapsedTimer opening;
    opening.start();
    while (!QFile::exists(lock) && opening.elapsed() < th::XDesk::kStepMs) QThread::msleep(20);
    ASSERT_TRUE(QFile::exists(lock)) << "the port did not open";
    ASSERT_TRUE(desk.click(window, th::kReadParam));
    readUntil(run, out, "reply to read-filter request: accepted", th::XDesk::kStepMs);
    EXPECT_TRUE(out.contains("reply to version request: accepted")) << out.toStdString();

    // What the window's log says, copied as a user would copy it.
    ASSERT_TRUE(desk.click(window, th::kLog));
    ASSERT_TRUE(desk.key({"ctrl+a", "ctrl+c"}));
    const QString log = desk.waitForClipboard("FILTER READ");
    EXPECT_TRUE(log.contains("OK\nVERSION  15.1.7.1\nmodel: Torvik-N3\nOK\nPARAM  "))
        << log.toStdString();
    EXPECT_TRUE(log.contains("FILTER READ")) << log.toStdString();
    EXPECT_TRUE(realPort.received().empty()) << "COM1 was talked to";

    // Closing the configurator ends the simulator and its link with it.
    QProcess::execute("pkill", {"-TERM", "-P", QString::number(run.processId()), "torvik-config"});
    ASSERT_TRUE(run.waitForFinished(th::XDesk::kStepMs));
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_FALSE(QFileInfo(simLink).isSymLink());
}

// The script's clean-up ends the simulator and the tail that follows its log. Either may have
// ended by itself already (tail does, soon after the simulator); the script must still exit with
// the configurator's own code.
TEST(RunScript, ExitsWithTheConfiguratorsCodeWhenTheSimulatorEndedFirst) {
    QTemporaryDir build;
    ASSERT_TRUE(QDir().mkpath(build.filePath("tools")));
    auto script = [&](const QString& name, const QByteArray& body) {
        QFile f(build.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n" + body);
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    };
    // A simulator that says where it is and ends at once, and a configurator that lives on a
    // little, long enough for tail to notice, and exits with the code it is given.
    script("tools/torvik-reader-sim", "echo 'torvik-reader-sim: a reader on COM9'\n");
    script("torvik-config", "sleep 1.5\nexit \"$FAKE_CODE\"\n");
    for (int code : {0, 3}) {
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TORVIK_SKIP_BUILD", "1");
        env.insert("TORVIK_BUILD_DIR", build.path());
        env.insert("FAKE_CODE", QString::number(code));
        run.setProcessEnvironment(env);
        run.start("bash", {QStringLiteral(TORVIK_SOURCE_DIR) + "/scripts/run.sh"});
        ASSERT_TRUE(run.waitForFinished(30000));
        EXPECT_EQ(run.exitCode(), code) << run.readAllStandardError().toStdString();
    }
}

}  // namespace
