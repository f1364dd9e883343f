#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "link/serial_port.h"

// A reader behind a network serial server, reached by a URL where a port name goes:
//   rfc2217://HOST:PORT  telnet with the COM-PORT-OPTION of RFC 2217: the line is set as a local
//                        one is, each setting checked against the server's answer
//   socket://HOST:PORT   the bytes and nothing else: the server's device must already be set
// HOST is a name, an IPv4 address, or an IPv6 address in brackets.
namespace comlink {

struct NetworkAddress {
    enum class Kind { Rfc2217, Socket };
    Kind kind = Kind::Socket;
    QString host;  // without the brackets of an IPv6 address
    quint16 port = 0;
    QString hostPort() const;  // HOST:PORT as given, brackets and all
};

// The address a URL names, or nothing when text is no such URL (the scheme in any case).
std::optional<NetworkAddress> parseNetworkPort(const QString& text);
// Whether text starts with one of the two schemes: a port meant to be on the network, whether
// or not the rest of it is right.
bool looksLikeNetworkPort(const QString& text);

// Telnet as the two ends speak it here.
namespace telnet {
inline constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                         kSe = 240;
inline constexpr uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

// Data with every 0xFF doubled, as telnet carries it.
QByteArray escape(QByteArrayView data);
// IAC SB COM-PORT-OPTION code value IAC SE, the value escaped.
QByteArray comPortCommand(uint8_t code, QByteArrayView value);

// What arrived, taken apart: the data (0xFF undoubled), the option commands (WILL, WONT, DO,
// DONT with their option) and the subnegotiations (option byte first, undoubled), in order
// within each kind.
struct Input {
    QByteArray data;
    std::vector<std::pair<uint8_t, uint8_t>> options;
    std::vector<QByteArray> subnegotiations;
};

// Takes the stream apart in pieces as they come: a command cut between two pieces is finished
// by the next.
class Decoder {
public:
    void feed(QByteArrayView in, Input& out);

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    State state_ = State::Data;
    uint8_t command_ = 0;
    QByteArray sub_;
};
}  // namespace telnet

// RFC 2217's codes (the server answers with the code plus 100).
namespace rfc2217 {
inline constexpr uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                         kSetControl = 5, kPurgeData = 12, kServerOffset = 100;
inline constexpr uint8_t kNoFlowControl = 1, kDtrOff = 9, kRtsOff = 12, kPurgeReceiveBuffer = 1;
}  // namespace rfc2217

// Connecting: no answer to the connect, or to the server's part of the negotiation, within this.
inline constexpr int kNetworkConnectMs = 5000;

// A network port. open() takes the URL.
std::unique_ptr<SerialPort> makeNetworkPort();
// The port that opens path: a network port for a URL of either scheme, else makeSerialPort().
std::unique_ptr<SerialPort> makeSerialPortFor(const QString& path);

}  // namespace comlink
