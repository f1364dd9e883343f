// A reader behind a network serial server: the link layer's port on a TCP connection, with the
// telnet of RFC 2217 or with the bytes alone.
//
// Like the local port, it blocks in the caller's thread (Qt's waits, no event loop), so a port
// of the bench, the window and torvik-cli use it unchanged.

#include "link/network_port.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>
#include <algorithm>
#include <map>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace comlink {

QString NetworkAddress::hostPort() const {
    const QString h =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return h + QLatin1Char(':') + QString::number(port);
}

bool looksLikeNetworkPort(const QString& text) {
    return text.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive) ||
           text.startsWith(QLatin1String("socket://"), Qt::CaseInsensitive);
}

std::optional<NetworkAddress> parseNetworkPort(const QString& text) {
    // A name of letters, digits, dots and hyphens, an IPv4 address, or [IPv6]; then a port.
    static const QRegularExpression kUrl(
        QStringLiteral(
            "^(rfc2217|socket)://(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9._-]+)):(\\d{1,5})/?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = kUrl.match(text);
    if (!m.hasMatch()) return std::nullopt;
    NetworkAddress a;
    a.kind = m.captured(1).compare(QLatin1String("rfc2217"), Qt::CaseInsensitive) == 0
                 ? NetworkAddress::Kind::Rfc2217
                 : NetworkAddress::Kind::Socket;
    const QString v6 = m.captured(2);
    if (!v6.isEmpty()) {
        if (QHostAddress(v6).protocol() != QAbstractSocket::IPv6Protocol) return std::nullopt;
        a.host = v6;
    } else {
        a.host = m.captured(3);
        if (a.host.startsWith(QLatin1Char('.')) || a.host.startsWith(QLatin1Char('-')))
            return std::nullopt;
    }
    const int port = m.captured(4).toInt();
    if (port < 1 || port > 65535) return std::nullopt;
    a.port = static_cast<quint16>(port);
    return a;
}

namespace telnet {

QByteArray escape(QByteArrayView data) {
    QByteArray out;
    out.reserve(data.size() + data.size() / 8);
    for (const char c : data) {
        out += c;
        if (static_cast<uint8_t>(c) == kIac) out += c;
    }
    return out;
}

QByteArray comPortCommand(uint8_t code, QByteArrayView value) {
    QByteArray out;
    out += static_cast<char>(kIac);
    out += static_cast<char>(kSb);
    out += static_cast<char>(kComPort);
    out += static_cast<char>(code);
    out += escape(value);
    out += static_cast<char>(kIac);
    out += static_cast<char>(kSe);
    return out;
}

void Decoder::feed(QByteArrayView in, Input& out) {
    for (const char ch : in) {
        const auto b = static_cast<uint8_t>(ch);
        switch (state_) {
            case State::Data:
                if (b == kIac)
                    state_ = State::Iac;
                else
                    out.data += ch;
                break;
            case State::Iac:
                if (b == kIac) {
                    out.data += ch;
                    state_ = State::Data;
                } else if (b >= kWill) {
                    command_ = b;
                    state_ = State::Option;
                } else if (b == kSb) {
                    sub_.clear();
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // NOP, GA and the others carry nothing for us
                }
                break;
            case State::Option:
                out.options.emplace_back(command_, b);
                state_ = State::Data;
                break;
            case State::Sub:
                if (b == kIac)
                    state_ = State::SubIac;
                else
                    sub_ += ch;
                break;
            case State::SubIac:
                if (b == kIac) {
                    sub_ += ch;
                    state_ = State::Sub;
                } else if (b == kSe) {
                    out.subnegotiations.push_back(sub_);
                    sub_.clear();
                    state_ = State::Data;
                } else {
                    // IAC and anything else inside a subnegotiation: the server broke it off.
                    sub_.clear();
                    state_ = State::Data;
                }
                break;
        }
    }
}

}  // namespace telnet

namespace {

using namespace telnet;

QByteArray optionCommand(uint8_t command, uint8_t option) {
    QByteArray out;
    out += static_cast<char>(kIac);
    out += static_cast<char>(command);
    out += static_cast<char>(option);
    return out;
}

QByteArray bigEndian32(uint32_t v) {
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
    return out;
}

uint32_t valueOf(const QByteArray& v) {
    uint32_t x = 0;
    for (const char c : v) x = (x << 8) | static_cast<uint8_t>(c);
    return x;
}

// What the server's text says, when it said something readable before it closed.
QString saidText(const QByteArray& data) {
    const QString text = QString::fromLatin1(data).trimmed();
    if (text.isEmpty() || text.size() > 200) return {};
    for (const QChar c : text)
        if (!c.isPrint()) return {};
    return text;
}

class NetworkPort final : public SerialPort {
public:
    NetworkPort() : timeouts_(kStartTimeouts) {
        // The window runs an event loop: a connection lost while nothing is sent is told then.
        QObject::connect(&socket_, &QTcpSocket::disconnected, &socket_, [this] {
            if (open_) lost();
        });
    }
    ~NetworkPort() override {
        handler_ = nullptr;
        close();
    }

    bool open(const QString& url) override {
        close();
        errorString_.clear();
        failure_ = OpenFailure::None;
        const std::optional<NetworkAddress> a = parseNetworkPort(url);
        if (!a) {
            errorString_ = QStringLiteral(
                               "not a network port: %1 (rfc2217://HOST:PORT or "
                               "socket://HOST:PORT)")
                               .arg(url);
            failure_ = OpenFailure::Missing;
            return false;
        }
        address_ = *a;
        QElapsedTimer clock;
        clock.start();
        socket_.connectToHost(address_.host, address_.port);
        if (!socket_.waitForConnected(kNetworkConnectMs)) return connectFailed(clock.elapsed());
        rttMs_ = clock.elapsed();
        // Each frame goes out as it is written: the waits of the run are the reader's.
        socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        open_ = true;
        const bool ok = address_.kind == NetworkAddress::Kind::Rfc2217 ? negotiate() : settle();
        if (!ok) {
            open_ = false;
            socket_.abort();
        }
        return ok;
    }

    bool isOpen() const override { return open_; }
    QString errorString() const override { return errorString_; }
    OpenFailure openFailure() const override { return failure_; }
    void setGoneHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

    LineSettings lineSettings() const override { return settings_; }

    bool setLineSettings(const LineSettings& s) override {
        if (!open_) return false;
        if (address_.kind == NetworkAddress::Kind::Socket) {
            // The bytes alone: the server's device is set where the server is.
            settings_ = s;
            return true;
        }
        using namespace rfc2217;
        struct Setting {
            uint8_t code;
            QByteArray value;
            const char* name;
            QString (*show)(uint32_t);
        };
        const auto number = [](uint32_t v) { return QString::number(v); };
        const auto parity = [](uint32_t v) {
            static const char* const kNames[] = {"?", "none", "odd", "even", "mark", "space"};
            return QString::fromLatin1(v < 6 ? kNames[v] : "?") + QStringLiteral(" (%1)").arg(v);
        };
        const auto stops = [](uint32_t v) {
            return v == 1   ? QStringLiteral("1")
                   : v == 2 ? QStringLiteral("2")
                   : v == 3 ? QStringLiteral("1.5")
                            : QStringLiteral("? (%1)").arg(v);
        };
        const auto flow = [](uint32_t v) {
            return v == 1   ? QStringLiteral("none")
                   : v == 2 ? QStringLiteral("XON/XOFF")
                   : v == 3 ? QStringLiteral("hardware")
                            : QStringLiteral("? (%1)").arg(v);
        };
        const uint8_t stopCode = s.stopBits == 2 ? 2 : s.stopBits == 1 ? 3 : 1;
        const std::vector<Setting> settings{
            {kSetBaudRate, bigEndian32(s.baudRate), "baud rate", number},
            {kSetDataSize, QByteArray(1, static_cast<char>(s.byteSize)), "data bits", number},
            {kSetParity, QByteArray(1, static_cast<char>(s.parity + 1)), "parity", parity},
            {kSetStopSize, QByteArray(1, static_cast<char>(stopCode)), "stop bits", stops},
            {kSetControl, QByteArray(1, static_cast<char>(kNoFlowControl)), "flow control", flow},
        };
        // Every setting in one go and their answers awaited together: one round trip, not one
        // a setting. DTR and RTS go down as on a local line; a server whose line has no such
        // lines may not answer for them, and nothing waits on that.
        QByteArray out;
        for (const Setting& st : settings) out += comPortCommand(st.code, st.value);
        out += comPortCommand(kSetControl, QByteArray(1, static_cast<char>(kDtrOff)));
        out += comPortCommand(kSetControl, QByteArray(1, static_cast<char>(kRtsOff)));
        answers_.clear();
        if (!send(out)) return false;
        QDeadlineTimer deadline(kNetworkConnectMs + rttMs_);
        for (const Setting& st : settings) {
            const uint8_t answer = st.code + kServerOffset;
            while (answers_[answer].empty()) {
                if (!receive(deadline)) {
                    if (open_)
                        errorString_ = QStringLiteral("%1 did not answer the %2 within %3 s")
                                           .arg(address_.hostPort(), QLatin1String(st.name))
                                           .arg(kNetworkConnectMs / 1000);
                    return false;
                }
            }
            // The server answers in the order asked: the first answer is this setting's.
            const QByteArray value = answers_[answer].front();
            const uint32_t got = valueOf(value);
            if (value != st.value) {
                errorString_ = QStringLiteral("%1 set the %2 to %3, not %4")
                                   .arg(address_.hostPort(), QLatin1String(st.name), st.show(got),
                                        st.show(valueOf(st.value)));
                return false;
            }
        }
        settings_ = s;
        return true;
    }

    Timeouts timeouts() const override { return timeouts_; }
    bool setTimeouts(const Timeouts& t) override {
        timeouts_ = t;
        return true;
    }

    void purgeInput() override {
        if (!open_) return;
        // What has arrived goes, and the server drops what it holds from the line; its answer,
        // which some servers never send, is not waited for.
        drain();
        data_.clear();
        if (address_.kind == NetworkAddress::Kind::Rfc2217)
            send(comPortCommand(rfc2217::kPurgeData,
                                QByteArray(1, static_cast<char>(rfc2217::kPurgeReceiveBuffer))));
    }

    Transfer write(const uint8_t* p, int n) override {
        if (!open_) return {0, PortError::NotOpen};
        if (n <= 0) return {};
        const QByteArrayView data(reinterpret_cast<const char*>(p), n);
        const QByteArray wire =
            address_.kind == NetworkAddress::Kind::Rfc2217 ? escape(data) : data.toByteArray();
        acknowledgeAtOnce();
        const qint64 queued = socket_.write(wire);
        if (queued < 0) return failure(0);
        QDeadlineTimer deadline(static_cast<qint64>(timeouts_.writeTotalConstant) +
                                static_cast<qint64>(timeouts_.writeTotalPerByte) * n + rttMs_);
        while (socket_.bytesToWrite() > 0 && !deadline.hasExpired()) {
            if (!socket_.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
                if (socket_.state() != QAbstractSocket::ConnectedState) return failure(0);
                break;
            }
        }
        // The bytes of data whose wire form has been handed on.
        const qint64 handed = queued - socket_.bytesToWrite();
        int count = 0;
        qint64 used = 0;
        for (; count < n; ++count) {
            const qint64 size =
                address_.kind == NetworkAddress::Kind::Rfc2217 && p[count] == kIac ? 2 : 1;
            if (used + size > handed) break;
            used += size;
        }
        return {count, PortError::None};
    }

    Transfer read(uint8_t* p, int n) override {
        if (!open_) return {0, PortError::NotOpen};
        if (n <= 0) return {};
        // As on a local line, plus the connection's round trip: a reply is never given less
        // time than there.
        QElapsedTimer clock;
        clock.start();
        const qint64 totalMs = static_cast<qint64>(timeouts_.readTotalConstant) +
                               static_cast<qint64>(timeouts_.readTotalPerByte) * n + rttMs_;
        qint64 lastByteMs = -1;
        int count = 0;
        for (;;) {
            if (!data_.isEmpty()) {
                const int take = static_cast<int>(std::min<qsizetype>(data_.size(), n - count));
                std::copy_n(data_.constData(), take, reinterpret_cast<char*>(p) + count);
                data_.remove(0, take);
                count += take;
                lastByteMs = clock.elapsed();
            }
            if (count >= n) return {count, PortError::None};
            if (!open_) return {count, gone_ ? PortError::Gone : PortError::NotOpen};
            qint64 endMs = totalMs;
            if (lastByteMs >= 0 && timeouts_.readInterval > 0)
                endMs = std::min(endMs, lastByteMs + timeouts_.readInterval + rttMs_);
            const qint64 left = endMs - clock.elapsed();
            if (left <= 0) return {count, PortError::None};
            if (!receive(QDeadlineTimer(left)) && !open_)
                return {count, gone_ ? PortError::Gone : PortError::NotOpen};
        }
    }

    void close() override {
        open_ = false;
        gone_ = false;
        data_.clear();
        answers_.clear();
        decoder_ = Decoder();
        him_.clear();
        us_.clear();
        refused_ = -1;
        if (socket_.state() != QAbstractSocket::UnconnectedState) {
            socket_.flush();
            socket_.disconnectFromHost();
            if (socket_.state() != QAbstractSocket::UnconnectedState)
                socket_.waitForDisconnected(200);
            socket_.abort();
        }
    }

private:
    bool connectFailed(qint64 elapsedMs) {
        const QString where = address_.hostPort();
        const QAbstractSocket::SocketError e = socket_.error();
        if (e == QAbstractSocket::HostNotFoundError)
            errorString_ = QStringLiteral("the name %1 does not resolve (%2)")
                               .arg(address_.host, socket_.errorString());
        else if (e == QAbstractSocket::ConnectionRefusedError)
            errorString_ =
                QStringLiteral("%1 refuses the connection: no server listens on that port")
                    .arg(where);
        else if (e == QAbstractSocket::SocketTimeoutError || elapsedMs >= kNetworkConnectMs)
            errorString_ = QStringLiteral("no answer from %1 within %2 s")
                               .arg(where)
                               .arg(kNetworkConnectMs / 1000);
        else
            errorString_ =
                QStringLiteral("%1 cannot be reached (%2)").arg(where, socket_.errorString());
        failure_ = OpenFailure::Missing;
        socket_.abort();
        return false;
    }

    // The server closed the connection before the port could be used: ser2net's answer when
    // another client has the port.
    bool closedAtOnce() {
        // The server's words came before its close: a wait that saw the close first left them
        // in the socket.
        if (socket_.bytesAvailable() > 0) take(socket_.readAll());
        const QString said = saidText(data_);
        errorString_ =
            QStringLiteral(
                "%1 closed the connection at once%2: the port may be in use by "
                "another client")
                .arg(address_.hostPort(),
                     said.isEmpty() ? QString() : QStringLiteral(" (it said \"%1\")").arg(said));
        failure_ = OpenFailure::Held;
        data_.clear();
        return false;
    }

    // socket://: nothing to agree on; a server that closes at once does so within a moment.
    bool settle() {
        QDeadlineTimer deadline(100 + 2 * rttMs_);
        while (open_ && !deadline.hasExpired()) receive(deadline);
        gone_ = false;
        return open_ ? true : closedAtOnce();
    }

    // Binary both ways and COM-PORT-OPTION agreed, then one question the server must answer
    // (its baud rate), which also measures the round trip. A server that never answers, or
    // closes, cannot be used.
    bool negotiate() {
        send(optionCommand(kWill, kBinary) + optionCommand(kDo, kBinary) +
             optionCommand(kWill, kComPort));
        QDeadlineTimer deadline(kNetworkConnectMs);
        while (open_ && !agreed() && refused_ < 0)
            if (!receive(deadline)) break;
        if (!open_) return closedAtOnce();
        if (refused_ >= 0) {
            errorString_ = QStringLiteral(
                               "%1 refuses %2: it is no RFC 2217 port (for one that carries the "
                               "bytes only, use socket://%1)")
                               .arg(address_.hostPort(), refused_ == kComPort
                                                             ? QStringLiteral("COM-PORT-OPTION")
                                                             : QStringLiteral("binary mode"));
            failure_ = OpenFailure::NotSerial;
            return false;
        }
        if (!agreed()) {
            errorString_ = QStringLiteral(
                               "%1 did not agree to RFC 2217 within %2 s (for a port that "
                               "carries the bytes only, use socket://%1)")
                               .arg(address_.hostPort())
                               .arg(kNetworkConnectMs / 1000);
            failure_ = OpenFailure::NotSerial;
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        answers_.clear();
        send(comPortCommand(rfc2217::kSetBaudRate, bigEndian32(0)));
        const uint8_t answer = rfc2217::kSetBaudRate + rfc2217::kServerOffset;
        QDeadlineTimer asked(kNetworkConnectMs);
        while (open_ && answers_[answer].empty())
            if (!receive(asked)) break;
        if (!open_) return closedAtOnce();
        if (answers_[answer].empty()) {
            errorString_ = QStringLiteral("%1 did not answer a question of RFC 2217 within %2 s")
                               .arg(address_.hostPort())
                               .arg(kNetworkConnectMs / 1000);
            failure_ = OpenFailure::NotSerial;
            return false;
        }
        rttMs_ = std::max(rttMs_, clock.elapsed());
        data_.clear();  // the server's greeting, if any, is no reader's
        return true;
    }

    // Waits for something from the server until the deadline; false when nothing came (the
    // deadline passed, or the connection went).
    bool receive(QDeadlineTimer deadline) {
        if (!open_) return false;
        if (socket_.bytesAvailable() == 0) {
            if (deadline.hasExpired()) return false;
            acknowledgeAtOnce();
            if (!socket_.waitForReadyRead(
                    static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
                if (socket_.state() != QAbstractSocket::ConnectedState) lost();
                return false;
            }
        }
        take(socket_.readAll());
        if (socket_.state() != QAbstractSocket::ConnectedState) lost();
        return true;
    }

    // A server that answers the purge first and the reader's reply a moment later holds the
    // reply until its answer is acknowledged (Nagle's rule on its side); an acknowledgement
    // delayed on ours would hold every reply for tens of milliseconds. The kernel is asked to
    // acknowledge at once whenever an answer is due: before each wait and each send (it drops
    // the request again by itself).
    void acknowledgeAtOnce() {
#ifdef Q_OS_LINUX
        const int on = 1;
        ::setsockopt(static_cast<int>(socket_.socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on,
                     sizeof on);
#endif
    }

    // What has arrived without waiting for more.
    void drain() {
        if (socket_.bytesAvailable() == 0) socket_.waitForReadyRead(0);
        take(socket_.readAll());
    }

    void take(const QByteArray& bytes) {
        if (bytes.isEmpty()) return;
        if (address_.kind == NetworkAddress::Kind::Socket) {
            data_ += bytes;
            return;
        }
        Input in;
        decoder_.feed(bytes, in);
        data_ += in.data;
        for (const auto& [command, option] : in.options) answerOption(command, option);
        for (const QByteArray& sub : in.subnegotiations)
            if (sub.size() >= 2 && static_cast<uint8_t>(sub[0]) == kComPort)
                answers_[static_cast<uint8_t>(sub[1])].push_back(sub.mid(2));
    }

    // The options we take: binary both ways, no go-ahead both ways, COM-PORT-OPTION on our
    // side. Any other is refused; a request that only confirms what is agreed is not answered.
    void answerOption(uint8_t command, uint8_t option) {
        // WILL and WONT speak of the server's side, DO and DONT of ours.
        const bool hisSide = command == kWill || command == kWont;
        const bool asks = command == kWill || command == kDo;
        const bool taken =
            option == kBinary || option == kSuppressGoAhead || (!hisSide && option == kComPort);
        if (!asks && (option == kBinary || (!hisSide && option == kComPort))) refused_ = option;
        if (asks && !taken) {
            send(optionCommand(hisSide ? kDont : kWont, option));
            return;
        }
        bool& agreed = (hisSide ? him_ : us_)[option];
        if (agreed == asks) return;
        agreed = asks;
        // Our WILL for binary and COM-PORT-OPTION went first: their DO is the answer.
        if (asks && (hisSide || option == kSuppressGoAhead))
            send(optionCommand(hisSide ? kDo : kWill, option));
    }

    // Binary both ways and COM-PORT-OPTION on our side.
    bool agreed() {
        return him_[kBinary] && us_[kBinary] && us_[kComPort];
    }

    bool send(const QByteArray& bytes) {
        if (!open_) return false;
        acknowledgeAtOnce();
        if (socket_.write(bytes) < 0) {
            failure(0);
            return false;
        }
        socket_.flush();
        return true;
    }

    // The connection went: the port is closed from here on, and whoever listens is told once.
    void lost() {
        if (!open_) return;
        open_ = false;
        gone_ = true;
        errorString_ = QStringLiteral("the connection to %1 was lost (%2)")
                           .arg(address_.hostPort(), socket_.errorString());
        if (handler_) {
            const auto h = handler_;
            h();
        }
    }

    Transfer failure(int count) {
        if (socket_.state() != QAbstractSocket::ConnectedState) {
            lost();
            return {count, PortError::Gone};
        }
        errorString_ = socket_.errorString();
        return {count, PortError::Io};
    }

    QTcpSocket socket_;
    NetworkAddress address_;
    bool open_ = false;
    bool gone_ = false;
    qint64 rttMs_ = 0;
    QString errorString_;
    OpenFailure failure_ = OpenFailure::None;
    std::function<void()> handler_;
    LineSettings settings_{};
    Timeouts timeouts_;
    Decoder decoder_;
    QByteArray data_;
    std::map<uint8_t, std::vector<QByteArray>> answers_;  // by answer code, in order
    std::map<uint8_t, bool> him_, us_;  // the options agreed on the server's side and ours
    int refused_ = -1;                  // the option the server turned down
};

}  // namespace

std::unique_ptr<SerialPort> makeNetworkPort() {
    return std::make_unique<NetworkPort>();
}

std::unique_ptr<SerialPort> makeSerialPortFor(const QString& path) {
    return looksLikeNetworkPort(path) ? makeNetworkPort() : makeSerialPort();
}

}  // namespace comlink
