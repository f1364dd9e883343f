// torvik-cli on readers behind Debian's ser2net, on the loopback, in front of the simulator's
// pseudo-terminal: what the reader gets is what it gets on a local port, and each fault of the
// network is said.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QInputDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "device/bench.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"
#include "tests/support/sim_process.h"

namespace {

using th::runCli;
using th::Ser2net;
using th::Sim;

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

std::vector<QJsonObject> jsonLines(const QString& path) {
    std::vector<QJsonObject> out;
    for (const QByteArray& line : fileBytes(path).split('\n'))
        if (!line.isEmpty()) out.push_back(QJsonDocument::fromJson(line).object());
    return out;
}

// Settings changed through RFC 2217, kept, restored through socket:// on another reader, and the
// two compared over both: one seeded round trip over random reachable states.
TEST(Ser2net, WriteBackupRestoreAndDiffThroughBothSchemesOverRandomSettings) {
    const quint32 seed = th::testSeed();
    SCOPED_TRACE(testing::Message() << "TORVIK_SEED=" << seed);
    std::mt19937 rng(seed);
    QTemporaryDir dir;
    Sim a({}), b({});
    ASSERT_FALSE(a.comName().isEmpty());
    ASSERT_FALSE(b.comName().isEmpty());
    Ser2net server({{a.device(), true}, {b.device(), false}});
    ASSERT_TRUE(server.running()) << server.output().toStdString();
    const QString ua = server.url(0), ub = server.url(1);
    const char* filters[] = {"cbMF3", "cbZero", "cbVantis", "cbOTP1", "cbSmKey"};
    for (int round = 0; round < 3; ++round) {
        const QString protocol = QString::number(1 + rng() % 5);
        th::CliRun r = runCli({"--port", ua, "write", "--protocol", protocol});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        QStringList setFilter{"--port", ua, "set-filter"};
        for (const char* f : filters)
            setFilter << "--set" << QStringLiteral("%1=%2").arg(f).arg(rng() % 2);
        r = runCli(setFilter);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QString file = dir.filePath(QStringLiteral("a%1.json").arg(round));
        ASSERT_EQ(runCli({"--port", ua, "backup", file}).exitCode, 0);
        r = runCli({"--port", ub, "restore", file});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        r = runCli({"diff", ua, ub});
        EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("No differences")) << r.out.toStdString();
        // And as a local port reads it, once ser2net has let the device go: it closes it a
        // moment after its client has left, and shares the reader's answers with us until then.
        ASSERT_TRUE(server.waitUntilReleased(b.device()));
        r = runCli({"--port", b.comName(), "read", "--json"});
        ASSERT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
        const QJsonObject read = QJsonDocument::fromJson(r.out.toUtf8()).object();
        const QJsonObject kept =
            QJsonDocument::fromJson(fileBytes(file)).object()["record"].toObject();
        EXPECT_EQ(read["paramBlock"].toString(), kept["paramBlock"].toString());
        EXPECT_EQ(read["filterBlock"].toString(), kept["filterBlock"].toString());
    }
}

// A 16 KiB image of 0xFF bytes, every one of which telnet doubles on the way, programs whole:
// through RFC 2217 and through the bytes alone.
class Program16K : public testing::TestWithParam<bool> {};

TEST_P(Program16K, AnImageFullOfFfProgramsByteForByte) {
    QTemporaryDir dir;
    const QString saved = dir.filePath("received.rom");
    Sim sim({"--model", "2", "--save-image", saved});
    ASSERT_FALSE(sim.comName().isEmpty());
    Ser2net server({{sim.device(), GetParam()}});
    ASSERT_TRUE(server.running()) << server.output().toStdString();
    // 0xFF throughout, but for the length trailer that ends it: 16384, little-endian.
    QByteArray image(16384, char(0xFF));
    image.replace(16380, 4, QByteArray::fromHex("00400000"));
    const QString rom = dir.filePath("ff.rom");
    QFile f(rom);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(image) == image.size());
    f.close();
    const th::CliRun r = runCli({"--port", server.url(0), "program", rom});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Firmware delivered: 16384 of 16384 bytes")) << r.err.toStdString();
    const QByteArray got = fileBytes(saved);
    EXPECT_EQ(got.size(), image.size());
    EXPECT_TRUE(got == image) << "the image the reader received differs";
}

INSTANTIATE_TEST_SUITE_P(Ser2net, Program16K, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "Rfc2217" : "Socket");
                         });

// A program through ser2net, interrupted a few blocks in by what interrupt() does; what
// torvik-cli wrote to standard error and its exit code once it ended.
struct MidRun {
    QString err;
    int exitCode = -1;
};
MidRun programInterrupted(Sim& sim, const std::function<void(Ser2net&, QProcess&)>& interrupt) {
    QTemporaryDir dir;
    Ser2net server({{sim.device(), true}});
    EXPECT_TRUE(server.running());
    const QString rom = th::writeFillImage(dir.path(), 132 * 20, 0x5A);
    QProcess cli;
    cli.setProcessEnvironment(th::cliEnvironment());
    cli.start(QStringLiteral(TORVIK_CLI_PATH), {"--port", server.url(0), "program", rom});
    EXPECT_TRUE(cli.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    while (!sim.output().contains("boot: old-type block 2") && clock.elapsed() < 20000)
        QThread::msleep(20);
    interrupt(server, cli);
    EXPECT_TRUE(cli.waitForFinished(15000)) << "the run hangs";
    return {QString::fromUtf8(cli.readAllStandardError()), cli.exitCode()};
}

// The server gone mid-run is an adapter pulled out: the run ends, said, with the hint for the
// reader left in its boot loader.
TEST(Ser2net, AServerKilledMidRunEndsTheRunAsAPulledAdapterDoes) {
    QTemporaryDir dir;
    Sim sim({"--model", "2", "--save-image", dir.filePath("got.rom")});
    ASSERT_FALSE(sim.comName().isEmpty());
    const MidRun r = programInterrupted(sim, [](Ser2net& server, QProcess&) { server.kill(); });
    EXPECT_EQ(r.exitCode, int(device::kFailed)) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QRegularExpression(
        "Not delivered: the port went away during the run; \\d+ of 2640 bytes accepted; the "
        "reader may wait in its boot loader: program it again with --in-boot --no-prog-pgm")))
        << r.err.toStdString();
}

// Ctrl+C while the connection is up stops the run as "Stop" does: the end frame reaches the
// reader through the server.
TEST(Ser2net, ASignalStillSendsTheEndFrameThroughTheServer) {
    Sim sim({"--model", "2"});
    ASSERT_FALSE(sim.comName().isEmpty());
    const MidRun r = programInterrupted(
        sim, [](Ser2net&, QProcess& cli) { ::kill(static_cast<pid_t>(cli.processId()), SIGINT); });
    EXPECT_TRUE(r.err.contains("Stopped: ")) << r.err.toStdString();
    QElapsedTimer clock;
    clock.start();
    while (!sim.output().contains("boot: end frame") && clock.elapsed() < 3000) QThread::msleep(20);
    EXPECT_TRUE(sim.output().contains("boot: end frame")) << sim.output().toStdString();
}

// Each fault of the network is said in words, and the port is one that cannot be used.
TEST(Ser2net, ARefusedPortAndASecondClientAreSaidAndThePortCannotBeUsed) {
    Sim sim({});
    ASSERT_FALSE(sim.comName().isEmpty());
    Ser2net server({{sim.device(), true}});
    ASSERT_TRUE(server.running());
    const quint16 nobody = th::freeTcpPort();
    th::CliRun r = runCli({"--port", QStringLiteral("rfc2217://127.0.0.1:%1").arg(nobody), "read"});
    EXPECT_EQ(r.exitCode, int(device::kPortUnusable));
    EXPECT_EQ(r.err, QStringLiteral("torvik-cli: rfc2217://127.0.0.1:%1: 127.0.0.1:%1 refuses "
                                    "the connection: no server listens on that port\n")
                         .arg(nobody));
    r = runCli({"--port", "socket://no-such-host.invalid:4001", "read"});
    EXPECT_EQ(r.exitCode, int(device::kPortUnusable));
    EXPECT_TRUE(
        r.err.startsWith("torvik-cli: socket://no-such-host.invalid:4001: the name "
                         "no-such-host.invalid does not resolve"))
        << r.err.toStdString();
    r = runCli({"--port", "rfc2217://127.0.0.1:99999", "read"});
    EXPECT_EQ(r.exitCode, int(device::kUsage));

    // The first client holds the port; the second is turned away with ser2net's own words.
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, server.url(0).section(':', -1).toUShort());
    ASSERT_TRUE(first.waitForConnected(3000));
    first.waitForReadyRead(1000);
    r = runCli({"--port", server.url(0), "read"});
    EXPECT_EQ(r.exitCode, int(device::kPortUnusable));
    EXPECT_EQ(r.err, QStringLiteral("torvik-cli: %1: %2 closed the connection at once (it said "
                                    "\"Port already in use\"): the port may be in use by another "
                                    "client\n")
                         .arg(server.url(0), server.url(0).section("//", 1)));
    first.abort();
    QThread::msleep(200);
    EXPECT_EQ(runCli({"--port", server.url(0), "read"}).exitCode, 0);
}

// A bench over two servers and a local port: the summary and the records name each URL as the
// port and as its device.
TEST(Ser2net, ABenchOfThreeReadersOverTwoServersAndALocalPort) {
    QTemporaryDir dir;
    Sim r1({}), r2({}), r3({});
    ASSERT_FALSE(r1.comName().isEmpty());
    ASSERT_FALSE(r2.comName().isEmpty());
    ASSERT_FALSE(r3.comName().isEmpty());
    Ser2net one({{r1.device(), true}});
    Ser2net two({{r2.device(), false}});
    ASSERT_TRUE(one.running() && two.running());
    const QString units = dir.filePath("units.jsonl");
    const QStringList ports{one.url(0), two.url(0), r3.comName()};
    const th::CliRun r = runCli({"--port", ports.join(','), "--units", units, "read"});
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("3 ports: 3 done, 0 failed")) << r.out.toStdString();
    for (const QString& port : ports)
        EXPECT_TRUE(r.out.contains(
            QRegularExpression("\\n" + QRegularExpression::escape(port) + " +.*Torvik-N3")))
            << port.toStdString() << "\n"
            << r.out.toStdString();
    const auto records = jsonLines(units);
    ASSERT_EQ(records.size(), 3u);
    QStringList seen;
    for (const QJsonObject& u : records) {
        const QString port = u["port"].toString();
        seen << port;
        EXPECT_EQ(u["exitCode"].toInt(), 0);
        if (port.contains("://"))
            EXPECT_EQ(u["device"].toString(), port);
        else
            EXPECT_TRUE(u["device"].toString().startsWith("/dev/pts/"));
    }
    seen.sort();
    QStringList expected = ports;
    expected.sort();
    EXPECT_EQ(seen, expected);
}

}  // namespace

namespace {

QStringList listed(const TForm1& form) {
    QStringList items;
    for (int i = 0; i < form.cbCom->count(); ++i) items << form.cbCom->itemText(i);
    return items;
}

// The window: a network port added from the list's context menu (checked by connecting first),
// listed after the COM names, read as a COM port is, remembered between starts, and removed.
TEST(Ser2net, TheWindowAddsANetworkPortReadsThroughItAsThroughACOMPortAndKeepsIt) {
    Sim local({}), remote({});
    const QString com = local.comName();
    ASSERT_FALSE(com.isEmpty());
    ASSERT_FALSE(remote.comName().isEmpty());
    Ser2net server({{remote.device(), true}});
    ASSERT_TRUE(server.running());
    const QString url = server.url(0);
    const QString nobody = QStringLiteral("socket://127.0.0.1:%1").arg(th::freeTcpPort());

    th::ModalCatcher boxes;
    {
        TForm1 form;
        EXPECT_TRUE(form.cbCom->toolTip().endsWith(TForm1::portMenuHint()));
        EXPECT_TRUE(TForm1::portMenuHint().contains("\"Add network port...\""));
        // Refused: said, and nothing listed or kept.
        EXPECT_FALSE(form.addNetworkPortUrl(nobody));
        EXPECT_FALSE(form.addNetworkPortUrl("rfc2217://no port"));
        ASSERT_EQ(boxes.boxes.size(), 2u);
        EXPECT_EQ(boxes.boxes[0].text, nobody + " cannot be added");
        EXPECT_EQ(
            boxes.boxes[0].informative,
            nobody.section("//", 1) + " refuses the connection: no server listens on that port");
        EXPECT_EQ(boxes.boxes[1].text, "Not a network port: rfc2217://no port");
        EXPECT_FALSE(listed(form).contains(nobody));

        // Added through the menu's dialog, as a user types it.
        QTimer::singleShot(50, [&] {
            auto* ask = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(ask, nullptr);
            EXPECT_EQ(ask->windowTitle(), "Add network port");
            ask->setTextValue(' ' + url + ' ');
            ask->accept();
        });
        EXPECT_EQ(form.actAddNetworkPort->text(), "Add network port...");
        form.actAddNetworkPort->trigger();
        ASSERT_EQ(listed(form).last(), url);
        EXPECT_LT(listed(form).indexOf(com), listed(form).indexOf(url));
        EXPECT_EQ(form.cbCom->currentText(), url);
        EXPECT_EQ(form.pnlState->text(), QString::fromUtf8("СОМ port selected"));

        // Read through it: the log says what it says for the same reader on a COM port.
        form.btVersion->click();
        const QStringList throughNetwork = th::logLines(form);
        TForm1 other;
        ASSERT_TRUE(th::pickPort(other, com));
        other.btVersion->click();
        EXPECT_EQ(throughNetwork, th::logLines(other));
        EXPECT_TRUE(throughNetwork.contains("VERSION  15.1.7.1"))
            << throughNetwork.join('|').toStdString();
    }
    {
        // The next start lists it again, last; removing it closes it and forgets it.
        TForm1 form;
        ASSERT_EQ(listed(form).last(), url);
        ASSERT_TRUE(th::pickPort(form, url));
        EXPECT_EQ(form.pnlState->text(), QString::fromUtf8("СОМ port selected"));
        form.actRemoveNetworkPort->trigger();
        EXPECT_FALSE(listed(form).contains(url));
        EXPECT_TRUE(listed(form).contains(com));
        EXPECT_EQ(form.pnlState->text(), "Select COM port");
    }
    TForm1 form;
    EXPECT_FALSE(listed(form).contains(url));
    EXPECT_EQ(boxes.boxes.size(), 2u);
}

}  // namespace
