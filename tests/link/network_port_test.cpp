// Readers behind a network serial server: the URL, telnet's escaping and negotiation, the line
// set through RFC 2217 against a scripted server, and torvik-cli against Debian's ser2net in
// front of the simulator's pseudo-terminal.

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include "device/bench.h"
#include "device/reader.h"
#include "link/network_port.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"
#include "tests/support/sim_process.h"

namespace {

using namespace comlink;
using th::runCli;

// ---------------------------------------------------------------------------------------------
// The URL and telnet's bytes.

TEST(NetworkPortName, AcceptsTheTwoSchemesWithANameAnAddressOrABracketedIpv6Address) {
    struct Case {
        const char* text;
        bool ok;
        NetworkAddress::Kind kind;
        const char* host;
        int port;
    };
    using K = NetworkAddress::Kind;
    const Case cases[] = {
        {"rfc2217://bench-3.example:7001", true, K::Rfc2217, "bench-3.example", 7001},
        {"RFC2217://10.0.0.7:2000/", true, K::Rfc2217, "10.0.0.7", 2000},
        {"socket://[::1]:4001", true, K::Socket, "::1", 4001},
        {"socket://[fe80::1:2]:65535", true, K::Socket, "fe80::1:2", 65535},
        {"socket://host:0", false, K::Socket, "", 0},
        {"socket://host:65536", false, K::Socket, "", 0},
        {"socket://host", false, K::Socket, "", 0},
        {"socket://[nonsense]:1", false, K::Socket, "", 0},
        {"socket://::1:4001", false, K::Socket, "", 0},
        {"telnet://host:23", false, K::Socket, "", 0},
        {"rfc2217://-host:1", false, K::Socket, "", 0},
        {"rfc2217://ho st:1", false, K::Socket, "", 0},
        {"COM3", false, K::Socket, "", 0},
    };
    for (const Case& c : cases) {
        const auto a = parseNetworkPort(QString::fromLatin1(c.text));
        ASSERT_EQ(a.has_value(), c.ok) << c.text;
        if (!a) continue;
        EXPECT_EQ(a->kind, c.kind) << c.text;
        EXPECT_EQ(a->host, QLatin1String(c.host)) << c.text;
        EXPECT_EQ(a->port, c.port) << c.text;
    }
    EXPECT_EQ(parseNetworkPort("socket://[::1]:4001")->hostPort(), "[::1]:4001");
    EXPECT_TRUE(looksLikeNetworkPort("Socket://x"));
    EXPECT_FALSE(looksLikeNetworkPort("/dev/ttyUSB0"));
}

// Data of every byte value, split anywhere and mixed with option commands and
// subnegotiations (whose values hold 0xFF too), comes apart as it went in.
TEST(Telnet, EscapedDataAndCommandsComeApartWhereverTheStreamIsCut) {
    const quint32 seed = th::testSeed();
    SCOPED_TRACE(testing::Message() << "TORVIK_SEED=" << seed);
    std::mt19937 rng(seed);
    for (int round = 0; round < 300; ++round) {
        QByteArray data, wire;
        std::vector<std::pair<uint8_t, uint8_t>> options;
        std::vector<QByteArray> subs;
        const int pieces = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < pieces; ++i) {
            QByteArray chunk;
            const int n = static_cast<int>(rng() % 40);
            // Half the rounds are mostly 0xFF, as a firmware image's empty flash is.
            for (int k = 0; k < n; ++k)
                chunk += static_cast<char>(round % 2 && rng() % 3 ? 0xFF : rng() % 256);
            data += chunk;
            wire += telnet::escape(chunk);
            switch (rng() % 3) {
                case 0: {
                    const uint8_t cmd = static_cast<uint8_t>(telnet::kWill + rng() % 4);
                    const uint8_t opt = static_cast<uint8_t>(rng() % 256);
                    options.emplace_back(cmd, opt);
                    wire += static_cast<char>(telnet::kIac);
                    wire += static_cast<char>(cmd);
                    wire += static_cast<char>(opt);
                    break;
                }
                case 1: {
                    QByteArray value;
                    for (int k = static_cast<int>(rng() % 5); k > 0; --k)
                        value += static_cast<char>(rng() % 2 ? 0xFF : rng() % 256);
                    const uint8_t code = static_cast<uint8_t>(rng() % 120);
                    subs.push_back(QByteArray(1, char(telnet::kComPort)) + char(code) + value);
                    wire += telnet::comPortCommand(code, value);
                    break;
                }
                default:
                    break;
            }
        }
        telnet::Decoder decoder;
        telnet::Input in;
        for (qsizetype at = 0; at < wire.size();) {
            const qsizetype n = std::min<qsizetype>(wire.size() - at, 1 + rng() % 7);
            decoder.feed(QByteArrayView(wire.constData() + at, n), in);
            at += n;
        }
        ASSERT_EQ(in.data.toHex(), data.toHex()) << "round " << round;
        ASSERT_EQ(in.options, options) << "round " << round;
        ASSERT_EQ(in.subnegotiations, subs) << "round " << round;
        ASSERT_EQ(telnet::escape(data).count(char(0xFF)), 2 * data.count(char(0xFF)));
    }
}

// ---------------------------------------------------------------------------------------------
// A scripted RFC 2217 server: it agrees to binary and COM-PORT-OPTION, answers each setting
// with what answer() gives (nothing when empty), never answers a purge, records what came, and
// sends back what it is told to.

class ScriptedServer {
public:
    std::function<QByteArray(uint8_t code, const QByteArray& value)> answer =
        [](uint8_t code, const QByteArray& value) {
            if (code == rfc2217::kPurgeData) return QByteArray();
            // A question (a baud rate of 0) is answered with the line's.
            if (code == rfc2217::kSetBaudRate && value == QByteArray(4, 0))
                return QByteArray::fromHex("00002580");
            return value;
        };
    bool agree = true;    // false: it refuses COM-PORT-OPTION
    bool silent = false;  // true: it accepts and says nothing, ever

    ScriptedServer() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port_ = probe.serverPort();
        probe.close();
    }
    ~ScriptedServer() {
        stop_ = true;
        if (thread_) thread_->wait();
    }
    void start() {
        thread_.reset(QThread::create([this] { serve(); }));
        thread_->start();
        while (!listening_) QThread::msleep(1);
    }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port_); }
    QString hostPort() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
    QByteArray rawData() {
        std::lock_guard<std::mutex> lock(mutex_);
        return raw_;
    }
    void reply(const QByteArray& wireBytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        toSend_ += wireBytes;
    }

private:
    void serve() {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, port_);
        listening_ = true;
        while (!stop_ && !server.waitForNewConnection(20)) {
        }
        if (stop_) return;
        std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
        if (!silent) {
            QByteArray hello;
            for (auto [cmd, opt] : {std::pair{telnet::kDo, telnet::kBinary},
                                    {telnet::kWill, telnet::kBinary},
                                    {agree ? telnet::kDo : telnet::kDont, telnet::kComPort}}) {
                hello += char(telnet::kIac);
                hello += char(cmd);
                hello += char(opt);
            }
            s->write(hello);
            s->flush();
        }
        telnet::Decoder decoder;
        while (!stop_ && s->state() == QAbstractSocket::ConnectedState) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!toSend_.isEmpty()) {
                    s->write(toSend_);
                    s->flush();
                    toSend_.clear();
                }
            }
            if (!s->waitForReadyRead(10)) continue;
            const QByteArray got = s->readAll();
            if (silent) continue;
            telnet::Input in;
            decoder.feed(got, in);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                raw_ += in.data;
            }
            for (const QByteArray& sub : in.subnegotiations) {
                const auto code = static_cast<uint8_t>(sub[1]);
                const QByteArray a = answer(code, sub.mid(2));
                if (!a.isEmpty()) s->write(telnet::comPortCommand(code + 100, a));
            }
            s->flush();
        }
    }

    quint16 port_ = 0;
    std::unique_ptr<QThread> thread_;
    std::atomic<bool> stop_{false}, listening_{false};
    std::mutex mutex_;
    QByteArray raw_, toSend_;
};

TEST(Rfc2217, EveryByteValueCrossesBothWaysAndAPurgeNeverAnsweredStallsNothing) {
    ScriptedServer server;
    server.start();
    auto port = makeSerialPortFor(server.url());
    ASSERT_TRUE(port->open(server.url())) << port->errorString().toStdString();
    ASSERT_TRUE(device::configureReaderLine(*port)) << port->errorString().toStdString();
    QByteArray all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    all += QByteArray(64, char(0xFF));
    port->purgeInput();  // the server never answers it
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(port->write(reinterpret_cast<const uint8_t*>(all.constData()), int(all.size())).count,
              all.size());
    server.reply(telnet::escape(all));
    QByteArray back(all.size(), 0);
    const Transfer t = port->read(reinterpret_cast<uint8_t*>(back.data()), int(back.size()));
    EXPECT_EQ(t.count, all.size());
    EXPECT_EQ(back.toHex(), all.toHex());
    EXPECT_LT(clock.elapsed(), 1500) << "a wait on an answer that never comes";
    for (int i = 0; i < 200 && server.rawData().size() < all.size(); ++i) QThread::msleep(5);
    EXPECT_EQ(server.rawData().toHex(), all.toHex());

    // A silent reader: the read waits what it waits on a local port (and the round trip), no
    // less.
    ASSERT_TRUE(port->setTimeouts({50, 0, 300, 0, 0}));
    uint8_t none = 0;
    clock.restart();
    EXPECT_EQ(port->read(&none, 1).count, 0);
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_LT(clock.elapsed(), 450);
    EXPECT_TRUE(port->isOpen());
}

// Each setting the server answers with another value, or not at all, is said by its name; the
// line is not taken as set.
TEST(Rfc2217, ASettingTheServerAnswersOtherwiseIsSaidByName) {
    struct Case {
        uint8_t code;
        QByteArray answer;  // empty: no answer
        QString said;
    };
    const Case cases[] = {
        {rfc2217::kSetBaudRate, QByteArray::fromHex("00004b00"),
         "set the baud rate to 19200, not 9600"},
        {rfc2217::kSetDataSize, QByteArray::fromHex("07"), "set the data bits to 7, not 8"},
        {rfc2217::kSetParity, QByteArray::fromHex("03"),
         "set the parity to even (3), not none (1)"},
        {rfc2217::kSetStopSize, QByteArray::fromHex("02"), "set the stop bits to 2, not 1"},
        {rfc2217::kSetControl, QByteArray::fromHex("03"),
         "set the flow control to hardware, not none"},
        {rfc2217::kSetStopSize, QByteArray(), "did not answer the stop bits within 5 s"},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        // As usual, but for this setting (the question of the baud rate still answered).
        server.answer = [&c, usual = server.answer](uint8_t code, const QByteArray& value) {
            const bool question = code == rfc2217::kSetBaudRate && value == QByteArray(4, 0);
            return code == c.code && !question ? c.answer : usual(code, value);
        };
        server.start();
        auto port = makeSerialPortFor(server.url());
        ASSERT_TRUE(port->open(server.url())) << port->errorString().toStdString();
        EXPECT_FALSE(device::configureReaderLine(*port));
        EXPECT_EQ(port->errorString(), server.hostPort() + ' ' + c.said);
    }
}

// A server that is none: refuses the option, or says nothing at all.
TEST(Rfc2217, AServerThatRefusesOrNeverAnswersTheNegotiationIsNoPort) {
    for (const bool silent : {false, true}) {
        ScriptedServer server;
        server.agree = false;
        server.silent = silent;
        server.start();
        auto port = makeSerialPortFor(server.url());
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(port->open(server.url()));
        EXPECT_FALSE(port->isOpen());
        const QString hp = server.hostPort();
        EXPECT_EQ(port->errorString(),
                  silent ? hp +
                               " did not agree to RFC 2217 within 5 s (for a port that carries "
                               "the bytes only, use socket://" +
                               hp + ")"
                         : hp +
                               " refuses COM-PORT-OPTION: it is no RFC 2217 port (for one that "
                               "carries the bytes only, use socket://" +
                               hp + ")");
        EXPECT_LT(clock.elapsed(), silent ? 6500 : 1500);
    }
}

// A connect that nobody answers: a listener whose queue is full drops the handshake.
TEST(Rfc2217, AConnectNobodyAnswersEndsAfterFiveSeconds) {
    QTcpServer full;
    full.setListenBacklogSize(0);
    ASSERT_TRUE(full.listen(QHostAddress::LocalHost, 0));
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    for (int i = 0; i < 8; ++i) {
        fillers.push_back(std::make_unique<QTcpSocket>());
        fillers.back()->connectToHost(QHostAddress::LocalHost, full.serverPort());
        fillers.back()->waitForConnected(300);
    }
    const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(full.serverPort());
    auto port = makeSerialPortFor(url);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(port->open(url));
    EXPECT_GE(clock.elapsed(), 4900);
    EXPECT_LT(clock.elapsed(), 7000) << "nothing hangs past the connect's time-out";
    EXPECT_EQ(port->errorString(),
              QStringLiteral("no answer from 127.0.0.1:%1 within 5 s").arg(full.serverPort()));
}

}  // namespace
