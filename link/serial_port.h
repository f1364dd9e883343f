#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

// The one serial port interface the configurator sees. The platform detail (Qt's serial
// port, the advisory lock, the time-out arithmetic) lives behind it and nowhere else.
namespace comlink {

// Line settings as the reader wants them: 9600 baud, 8 data bits, no parity, one stop bit,
// binary, no flow control, DTR and RTS not asserted.
struct LineSettings {
    uint32_t baudRate = 0;
    uint32_t flags = 0;  // 1 = binary mode on, every handshake and replacement off
    uint8_t byteSize = 0;
    uint8_t parity = 0;    // 0 = none
    uint8_t stopBits = 0;  // 0 = one stop bit
};

// Time-outs in milliseconds. A read of n bytes ends when n bytes have arrived, when more than
// readInterval passes after a byte with no next byte, or readTotalConstant +
// n * readTotalPerByte after it began. A write of n bytes may take writeTotalConstant +
// n * writeTotalPerByte.
struct Timeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalPerByte = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalPerByte = 0;
    uint32_t writeTotalConstant = 0;
};

// Until the caller sets its own, a port never blocks for good: it starts with the reader's
// time-outs.
inline constexpr Timeouts kStartTimeouts{100, 1, 2000, 1, 10};

enum class PortError {
    None,     // the transfer ended normally (possibly by a time-out: compare the count)
    NotOpen,  // no port is open
    Io,       // the device reported an error
    Gone,     // the device disappeared
};

// Why an open failed.
enum class OpenFailure {
    None,
    Missing,     // no such device
    Permission,  // this user may not use the device
    Held,        // another program has it (an exclusive open, a lock, a lock file)
    NotSerial,   // the device exists but is no serial port that opens
    Terminal,    // the device is the terminal of a running program, and is left alone
};

struct Transfer {
    int count = 0;
    PortError error = PortError::None;
    bool failed() const { return error != PortError::None; }
};

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens the device exclusively: no other open of the same device, by this program or
    // another, under whatever name, succeeds while it is open.
    virtual bool open(const QString& devicePath) = 0;
    virtual bool isOpen() const = 0;
    // The system's reason for the last failure.
    virtual QString errorString() const = 0;
    // Why the last open failed.
    virtual OpenFailure openFailure() const { return OpenFailure::None; }
    bool permissionDenied() const { return openFailure() == OpenFailure::Permission; }

    // Called once, from the event loop or from inside a transfer, when the open device goes away
    // (the adapter is pulled out, the other end of the line hangs up). The port is closed by then:
    // it costs nothing more and every later transfer fails with NotOpen.
    virtual void setGoneHandler(std::function<void()> handler) { (void)handler; }

    virtual LineSettings lineSettings() const = 0;
    virtual bool setLineSettings(const LineSettings& s) = 0;
    virtual Timeouts timeouts() const = 0;
    virtual bool setTimeouts(const Timeouts& t) = 0;

    // Throws away every byte received and not yet read. Output not yet sent is kept.
    virtual void purgeInput() = 0;
    virtual Transfer write(const uint8_t* p, int n) = 0;
    // Reads up to n bytes under the time-outs. A short read is not an error.
    virtual Transfer read(uint8_t* p, int n) = 0;
    virtual void close() = 0;
};

// The lock files of the classic serial programs (LCK..<device> in /run/lock or /var/lock): the
// process that holds device (its real path) by one, when that process still lives; 0 otherwise.
// A lock left by a process that is gone is stale and holds nothing.
qint64 lockFileHolder(const QString& device);
// Where the lock files of device (its real path) would stand, in every lock folder.
QStringList lockFilePaths(const QString& device);
// The process that holds device (its real path) by a lock file or an advisory lock; 0 when
// neither names one that lives.
qint64 holderPid(const QString& device);
// The PID a lock file's content names, in either form (text, or four bytes); 0 for none.
qint64 lockFilePid(const QByteArray& content);
// The folders searched for lock files; tests choose their own.
QStringList lockFolders();
void setLockFolders(const QStringList& folders);

// The serial port of the platform (Qt's serial port with an advisory lock on Unix).
std::unique_ptr<SerialPort> makeSystemSerialPort();

// Where new ports come from; tests put a port of their own here.
using SerialPortFactory = std::function<std::unique_ptr<SerialPort>()>;
void setSerialPortFactory(SerialPortFactory factory);  // an empty factory restores the system's
std::unique_ptr<SerialPort> makeSerialPort();

}  // namespace comlink
