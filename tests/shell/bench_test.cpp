// torvik-cli on a bench of readers: several ports at once, each getting what a run of its own
// gives it whatever the others do; the summary, the JSON Lines events, the units' records; a
// signal that stops them all; and --watch taking readers as they come.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "device/settings_file.h"
#include "shell/cli.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"

namespace {

using th::CliRun;
using th::runCli;

bool waitFor(const std::function<bool()>& done, int ms = 30000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QThread::msleep(10);
    return done();
}

// The lines of a JSON Lines file, each parsed; a line that does not parse is a failure.
std::vector<QJsonObject> jsonLines(const QByteArray& text) {
    std::vector<QJsonObject> lines;
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty()) continue;
        QJsonParseError e;
        const QJsonDocument d = QJsonDocument::fromJson(line, &e);
        EXPECT_EQ(e.error, QJsonParseError::NoError) << line.toStdString();
        lines.push_back(d.object());
    }
    return lines;
}

QByteArray fileText(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A reader of model 4 (an old-type boot loader) in protected mode.
void asModel4(emu::PtyReader& r) {
    th::setModel(r, 4, {0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
}

// torvik-cli --watch on the ports given, reading each reader and keeping its unit's record.
void startWatch(QProcess& p, const QString& ports, const QString& units) {
    p.setProcessEnvironment(th::cliEnvironment());
    p.start(QStringLiteral(TORVIK_CLI_PATH),
            {"--port", ports, "--watch", "--units", units, "read"});
    ASSERT_TRUE(p.waitForStarted());
}

// Readers of model 4 (an old-type boot loader) on COM3 and up.
struct Bench {
    explicit Bench(int n, int firstCom = 3) {
        for (int i = 0; i < n; ++i) {
            readers.push_back(std::make_unique<th::LinkedReader>(firstCom + i));
            asModel4(readers.back()->reader);
        }
    }
    QString ports() const {
        QStringList names;
        for (const auto& r : readers) names << r->name();
        return names.join(',');
    }
    emu::PtyReader& operator[](std::size_t i) { return readers[i]->reader; }
    std::vector<std::unique_ptr<th::LinkedReader>> readers;
};

TEST(SeveralPorts, EightReadersOneNakingOneCutTheOthersGetWhatARunAloneGives) {
    QTemporaryDir dir;
    const QString rom = th::writeFillImage(dir.path(), 132 * 4, 0x5A);
    const QString units = dir.filePath("units.jsonl");

    // What one reader alone receives for this run.
    th::LinkedReader alone{20};
    asModel4(alone.reader);
    ASSERT_EQ(runCli({"--port", "COM20", "program", rom}).exitCode, cli::kOk);
    alone.reader.waitUntilQuiet();
    const std::string single = th::hex(alone.reader.received());

    Bench bench(8);
    bench[6].withBootLoader([](emu::BootLoader& b) { b.stall = true; });  // COM9 NAKs every packet
    std::atomic<bool> done{false};
    std::thread cutter([&] {
        // COM10's line goes away once its second packet is in.
        waitFor([&] { return done || bench[7].bootLoader().packets.size() >= 2; });
        if (!done) bench[7].hangUp();
    });
    const CliRun r =
        runCli({"--port", bench.ports(), "--units", units, "program", rom, "--stall-timeout", "3"});
    done = true;
    cutter.join();
    EXPECT_EQ(r.exitCode, cli::kSomeFailed) << r.out.toStdString() << r.err.toStdString();
    for (std::size_t i = 0; i < 6; ++i) {
        bench[i].waitUntilQuiet();
        // and, the run delivered, one version request for the firmware it now runs.
        EXPECT_EQ(th::hex(bench[i].received()), single + " 02 07 07 28 00 38 00") << "COM" << i + 3;
    }
    // The summary: a row a port, the two that failed with their reasons, and the totals.
    const QStringList out = r.out.split('\n');
    auto row = [&](const QString& port) {
        for (const QString& l : out)
            if (l.startsWith(port + ' ')) return l;
        return QString();
    };
    for (int com = 3; com <= 8; ++com)
        EXPECT_TRUE(
            row(QStringLiteral("COM%1").arg(com)).contains("Firmware delivered: 528 of 528"))
            << row(QStringLiteral("COM%1").arg(com)).toStdString();
    EXPECT_TRUE(row("COM9").contains("Stopped")) << row("COM9").toStdString();
    EXPECT_TRUE(row("COM10").contains("Not delivered: the port went away during the run"))
        << row("COM10").toStdString();
    EXPECT_TRUE(r.out.contains("8 ports: 6 done, 2 failed (2 refused, no answer or not delivered)"))
        << r.out.toStdString();
    // Every line before the summary says whose it is.
    for (const QString& l : out.mid(0, out.indexOf(QString())))
        EXPECT_TRUE(l.contains(QRegularExpression("^COM\\d+: "))) << l.toStdString();

    // Eight whole records, one a reader.
    const auto records = jsonLines(fileText(units));
    ASSERT_EQ(records.size(), 8u);
    QStringList ports;
    for (const QJsonObject& u : records) {
        ports << u["port"].toString();
        EXPECT_EQ(u["command"].toString(), "program");
        EXPECT_EQ(u["sha256"].toString().size(), 64);
        EXPECT_EQ(u["model"].toObject()["code"].toInt(), 4);
        EXPECT_TRUE(u["time"].toString().contains(QRegularExpression("[+-]\\d\\d:\\d\\d$")));
        EXPECT_EQ(u["exitCode"].toInt() == 0, u["bytesAccepted"].toInt() == 528);
        EXPECT_EQ(u["exitCode"].toInt() == 0, u["firmwareAfter"] == "1.7.1");
    }
    ports.sort();
    EXPECT_EQ(ports.join(','), "COM10,COM3,COM4,COM5,COM6,COM7,COM8,COM9");
}

TEST(SeveralPorts, ASignalStopsEveryPortWithItsEndFrameThenTheSummary) {
    QTemporaryDir dir;
    const QString rom = th::writeFillImage(dir.path(), 132 * 30, 0x11);
    Bench bench(4);
    QProcess p;
    p.setProcessEnvironment(th::cliEnvironment());
    p.start(QStringLiteral(TORVIK_CLI_PATH), {"--port", bench.ports(), "program", rom});
    ASSERT_TRUE(p.waitForStarted());
    ASSERT_TRUE(waitFor([&] {
        for (std::size_t i = 0; i < 4; ++i)
            if (bench[i].bootLoader().packets.size() < 2) return false;
        return true;
    }));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), cli::kTerminated);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(out.contains("4 ports: 0 done, 4 failed (4 stopped by a signal)"))
        << out.toStdString();
    for (std::size_t i = 0; i < 4; ++i) {
        bench[i].waitUntilQuiet();
        const auto packets = bench[i].bootLoader().packets;
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(th::hex(packets.back()), "E1 02 8D 56") << "COM" << i + 3;
        const QString lock = "/run/lock/LCK.." +
                             QString::fromStdString(bench[i].slavePath()).mid(5).replace('/', '_');
        EXPECT_FALSE(QFile::exists(lock)) << lock.toStdString();
    }
}

TEST(SeveralPorts, JsonLinesCarryThePortOfEveryEvent) {
    Bench bench(3);
    const CliRun r = runCli({"--port", bench.ports(), "--port", "COM40", "--json", "read"});
    EXPECT_EQ(r.exitCode, cli::kSomeFailed);  // COM40 is no port here
    const auto events = jsonLines(r.out.toUtf8());
    ASSERT_FALSE(events.empty());
    int ends = 0;
    for (const QJsonObject& e : events) {
        EXPECT_TRUE(e.contains("port")) << QJsonDocument(e).toJson().toStdString();
        if (e["kind"] == "end") {
            ++ends;
            if (e["port"] != "COM40") {
                EXPECT_EQ(e["exitCode"].toInt(), 0);
                EXPECT_EQ(e["read"].toObject()["model"].toObject()["code"].toInt(), 4);
            }
        }
    }
    EXPECT_EQ(ends, 4);
    EXPECT_EQ(events.back()["kind"], "summary");
    EXPECT_EQ(events.back()["failed"].toInt(), 1);
}

TEST(Units, ProgramsAppendingToOneFileAtOnceNeverMixTheirLines) {
    QTemporaryDir dir;
    const QString path = dir.filePath("same.jsonl");
    // Long lines from many writers at once: each stays whole.
    std::vector<std::thread> writers;
    for (int w = 0; w < 8; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 50; ++i) {
                QJsonObject o{{"writer", w}, {"i", i}, {"pad", QString(3000, QChar('a' + w))}};
                QString error;
                EXPECT_TRUE(device::appendRecordLine(
                    path, QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n', &error))
                    << error.toStdString();
            }
        });
    for (auto& t : writers) t.join();
    EXPECT_EQ(jsonLines(fileText(path)).size(), 400u);

    // Two torvik-cli runs on the same file.
    Bench bench(4);
    const QString units = dir.filePath("units.jsonl");
    QProcess a, b;
    for (auto [p, ports] :
         {std::pair{&a, QStringLiteral("COM3,COM4")}, std::pair{&b, QStringLiteral("COM5,COM6")}}) {
        p->setProcessEnvironment(th::cliEnvironment());
        p->start(QStringLiteral(TORVIK_CLI_PATH), {"--port", ports, "--units", units, "read"});
    }
    ASSERT_TRUE(a.waitForFinished(30000) && b.waitForFinished(30000));
    EXPECT_EQ(jsonLines(fileText(units)).size(), 4u);
    QString error;
    EXPECT_FALSE(device::appendRecordLine(dir.filePath("no/such/folder/u.jsonl"), "{}\n", &error));
    EXPECT_TRUE(error.contains("no/such/folder/u.jsonl")) << error.toStdString();
}

TEST(Watch, ReadersAsTheyComeEachOnceInTheOrderTheyCame) {
    QTemporaryDir dir;
    const QString units = dir.filePath("units.jsonl");
    th::LinkedReader com3{3};
    th::setModel(com3.reader, 13, {0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    com3.reader.setSilent(true);  // the adapter is there, no reader on it yet
    QProcess p;
    startWatch(p, "COM3", units);
    auto unitsDone = [&] { return jsonLines(fileText(units)).size(); };
    QThread::msleep(1500);
    EXPECT_EQ(unitsDone(), 0u) << "a unit without a reader";
    // A reader connected to the adapter; then unplugged, and the next one plugged in.
    com3.reader.setSilent(false);
    ASSERT_TRUE(waitFor([&] { return unitsDone() == 1; }));
    QThread::msleep(2500);
    EXPECT_EQ(unitsDone(), 1u) << "the same reader taken twice";
    com3.reader.setSilent(true);
    QThread::msleep(6000);  // two version requests in a row go unanswered
    com3.reader.setSilent(false);
    ASSERT_TRUE(waitFor([&] { return unitsDone() == 2; }));
    // An adapter plugged in with its reader.
    th::LinkedReader com4{4};
    asModel4(com4.reader);
    ASSERT_TRUE(waitFor([&] { return unitsDone() == 3; }));
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), cli::kOk);
    const auto records = jsonLines(fileText(units));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["port"], "COM3");
    EXPECT_EQ(records[1]["port"], "COM3");
    EXPECT_EQ(records[2]["port"], "COM4");
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(out.count("you may unplug it"), 3) << out.toStdString();
    EXPECT_TRUE(out.contains("3 readers: 3 done, 0 failed")) << out.toStdString();
}

// --watch opens no port it does not watch: one there at the start is never opened (the kernel's
// inotify sees every open of its device); an adapter plugged in while another program holds it
// (as a modem manager looks at every new adapter first) is taken once it is free.
TEST(Watch, LeavesPortsThereAtTheStartAloneAndTakesANewOneOnceItIsFree) {
    QTemporaryDir dir;
    const QString units = dir.filePath("units.jsonl");
    th::LinkedReader com7{7};  // there at the start, not asked for
    const int watcher = ::inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watcher, 0);
    ASSERT_GE(::inotify_add_watch(watcher, com7.reader.slavePath().c_str(), IN_OPEN), 0);
    th::LinkedReader com3{3};
    asModel4(com3.reader);
    QProcess p;
    startWatch(p, "COM3", units);
    auto unitsDone = [&] { return jsonLines(fileText(units)).size(); };
    ASSERT_TRUE(waitFor([&] { return unitsDone() == 1; }));

    // A new adapter, held by another program for its first seconds.
    auto com8 = std::make_unique<th::LinkedReader>(8);
    asModel4(com8->reader);
    const int held = ::open(com8->reader.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    QThread::msleep(3000);
    EXPECT_EQ(unitsDone(), 1u) << "a unit on a port another program holds";
    ::close(held);
    ASSERT_TRUE(waitFor([&] { return unitsDone() == 2; })) << "the freed port was not taken";

    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), cli::kOk);
    char events[4096];
    EXPECT_LE(::read(watcher, events, sizeof events), 0)
        << "the port there at the start was opened";
    ::close(watcher);
    EXPECT_EQ(jsonLines(fileText(units)).back()["port"], "COM8");
}

// The threads of a bench at its busiest: 32 ports watched at once while adapters are pulled out
// and plugged in and readers leave and come on the ports that stay. In the sanitizer build any
// report ends torvik-cli with a failure code; every reader that came is one unit, each once.
TEST(Watch, ThirtyTwoPortsWithReadersComingAndGoing) {
    QTemporaryDir dir;
    const QString units = dir.filePath("units.jsonl");
    std::map<int, std::unique_ptr<th::LinkedReader>> com;
    auto plug = [&](int n) {
        com[n] = std::make_unique<th::LinkedReader>(n);
        asModel4(com[n]->reader);
    };
    QStringList given;
    for (int n = 3; n < 35; ++n) {
        plug(n);
        given << QStringLiteral("COM%1").arg(n);
    }
    QProcess p;
    startWatch(p, given.join(','), units);
    auto unitsDone = [&] { return jsonLines(fileText(units)).size(); };
    std::size_t expected = 32;
    ASSERT_TRUE(waitFor([&] { return unitsDone() == expected; }, 120000)) << unitsDone();
    for (int round = 0; round < 2; ++round) {
        // Four adapters pulled out, four new ones plugged in, and on four ports that stay the
        // reader leaves; a new one comes once the watch has seen it go.
        for (int i = 0; i < 4; ++i) {
            com.erase(3 + round * 4 + i);
            plug(35 + round * 4 + i);
            com[20 + round * 4 + i]->reader.setSilent(true);
        }
        expected += 4;
        ASSERT_TRUE(waitFor([&] { return unitsDone() == expected; }, 120000)) << unitsDone();
        QThread::msleep(7000);  // two version requests in a row go unanswered
        for (int i = 0; i < 4; ++i) com[20 + round * 4 + i]->reader.setSilent(false);
        expected += 4;
        ASSERT_TRUE(waitFor([&] { return unitsDone() == expected; }, 120000)) << unitsDone();
    }
    // A given port whose adapter comes back is watched again.
    plug(3);
    ++expected;
    ASSERT_TRUE(waitFor([&] { return unitsDone() == expected; }, 120000)) << unitsDone();
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), cli::kOk) << err.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("%1 readers: %1 done, 0 failed").arg(expected)))
        << out.toStdString();
    std::map<QString, int> perPort;
    for (const QJsonObject& u : jsonLines(fileText(units))) {
        EXPECT_EQ(u["exitCode"].toInt(), 0) << QJsonDocument(u).toJson().toStdString();
        ++perPort[u["port"].toString()];
    }
    EXPECT_EQ(perPort["COM3"], 2);
    EXPECT_EQ(perPort["COM20"], 2);
    EXPECT_EQ(perPort["COM35"], 1);
    EXPECT_EQ(perPort["COM34"], 1);
}

// --jobs holds the bench to N readers at once; --retry-failed then runs the command again on the
// one that failed, and on no other, and finds nothing to run once it has succeeded.
TEST(SeveralPorts, JobsAndRetryFailedRunWhatTheyShouldAndNothingElse) {
    QTemporaryDir dir;
    const QString units = dir.filePath("units.jsonl");
    Bench bench(4);
    bench[1].setSilent(true);  // COM4: no reader answers
    const CliRun first =
        runCli({"--port", bench.ports(), "--jobs", "2", "--units", units, "--json", "read"});
    EXPECT_EQ(first.exitCode, cli::kSomeFailed) << first.err.toStdString();
    int running = 0, most = 0;
    for (const QJsonObject& e : jsonLines(first.out.toUtf8())) {
        if (e["kind"] == "start") most = std::max(most, ++running);
        if (e["kind"] == "end") --running;
    }
    EXPECT_EQ(most, 2) << first.out.toStdString();
    ASSERT_EQ(jsonLines(fileText(units)).size(), 4u);

    // The reader answers now: only COM4 is read again.
    bench[1].setSilent(false);
    for (std::size_t i = 0; i < 4; ++i) {
        bench[i].waitUntilQuiet();
        bench[i].clearReceived();
    }
    const CliRun retry =
        runCli({"--port", bench.ports(), "--units", units, "--retry-failed", "read"});
    EXPECT_EQ(retry.exitCode, cli::kOk) << retry.out.toStdString() << retry.err.toStdString();
    EXPECT_TRUE(retry.out.contains("1 ports: 1 done, 0 failed")) << retry.out.toStdString();
    for (std::size_t i = 0; i < 4; ++i) {
        bench[i].waitUntilQuiet();
        EXPECT_EQ(bench[i].requests().empty(), i != 1) << "COM" << i + 3;
    }
    const std::size_t retried = bench[1].requests().size();
    const auto records = jsonLines(fileText(units));
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records.back()["port"], "COM4");
    EXPECT_EQ(records.back()["exitCode"].toInt(), 0);

    // Nothing failed last: nothing to run, nothing sent.
    const CliRun none =
        runCli({"--port", bench.ports(), "--units", units, "--retry-failed", "read"});
    EXPECT_EQ(none.exitCode, cli::kOk);
    EXPECT_TRUE(none.err.contains("--retry-failed: no port given has a failed record of read in"))
        << none.err.toStdString();
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(bench[i].requests().size(), i == 1 ? retried : 0u);

    // Refused before anything is sent.
    for (const QStringList& args :
         {QStringList{"--port", "COM3", "--retry-failed", "read"},
          QStringList{"--port", "COM3", "--units", units, "--retry-failed", "--watch", "read"},
          QStringList{"--port", "COM3", "--jobs", "0", "read"},
          QStringList{"--units", units, "--retry-failed", "read"},
          QStringList{"--units", dir.filePath("none.jsonl"), "--port", "COM3", "--retry-failed",
                      "read"}}) {
        const CliRun r = runCli(args);
        EXPECT_EQ(r.exitCode, cli::kUsage) << args.join(' ').toStdString();
    }
    EXPECT_TRUE(bench[0].requests().empty());
}

TEST(SeveralPorts, ArgumentsNameWhatIsWrongBeforeAnythingIsSent) {
    const cli::Parsed many =
        cli::parseArguments({"--port", "com3, COM4", "--port", "/dev/ttyUSB2,COM3", "read"});
    EXPECT_TRUE(many.error.isEmpty()) << many.error.toStdString();
    EXPECT_EQ(many.options.ports, (QStringList{"COM3", "COM4", "/dev/ttyUSB2"}));
    EXPECT_TRUE(many.options.severalPorts());
    EXPECT_FALSE(cli::parseArguments({"--port", "COM3", "read"}).options.severalPorts());
    EXPECT_TRUE(cli::parseArguments({"--all", "--json", "program", "f.rom"}).error.isEmpty());
    EXPECT_EQ(cli::parseArguments({"--port", "COM3", "--json", "write"}).error,
              "write takes no --json");
    EXPECT_EQ(cli::parseArguments({"--all", "ports"}).error, "ports takes no --all");
    EXPECT_EQ(cli::parseArguments({"write"}).error, "write needs --port COMn");
}

}  // namespace
