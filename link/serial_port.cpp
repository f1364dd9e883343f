#include "link/serial_port.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSerialPort>
#include <algorithm>
#include <map>
#include <mutex>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#endif

namespace comlink {
namespace {

// A lock file that names no process is taken for one being written for this long.
constexpr qint64 kNamelessLockAgeMs = 5000;

#ifdef Q_OS_UNIX
// The controlling terminals of the running processes, by device number, with a process that has
// each. Read from /proc/<pid>/stat (no device is opened), and kept for a tenth of a second, so
// that a probe of many ports reads them once. Every port's thread opens through here: the kept
// table is guarded, and each caller gets its own copy.
struct TerminalTable {
    std::mutex mutex;
    std::map<dev_t, qint64> terminals;
    QElapsedTimer age;
};
TerminalTable terminalTable;

std::map<dev_t, qint64> readControllingTerminals() {
    std::map<dev_t, qint64> terminals;
    QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray line = stat.readAll();
        // "pid (comm) state ppid pgrp session tty_nr ...": the name may hold spaces and ')'.
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0) continue;
        const QList<QByteArray> f = line.mid(close + 2).split(' ');
        if (f.size() < 5) continue;
        const unsigned tty = f[4].toUInt();
        if (tty == 0) continue;
        const dev_t dev = makedev((tty >> 8) & 0xfff, (tty & 0xff) | ((tty >> 12) & 0xfff00));
        terminals.emplace(dev, pid);
    }
    return terminals;
}

std::map<dev_t, qint64> controllingTerminals() {
    const std::lock_guard<std::mutex> lock(terminalTable.mutex);
    if (!terminalTable.age.isValid() || terminalTable.age.elapsed() >= 100) {
        terminalTable.terminals = readControllingTerminals();
        terminalTable.age.start();
    }
    return terminalTable.terminals;
}

// The process whose controlling terminal the device is; 0 for none.
qint64 terminalOwner(const QString& device) {
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    const auto terminals = controllingTerminals();
    const auto it = terminals.find(st.st_rdev);
    return it == terminals.end() ? 0 : it->second;
}
#endif

class QtSerialPort final : public SerialPort {
public:
    QtSerialPort() : timeouts_(kStartTimeouts) {
        // Qt reports trouble on the line from its read notifier as well as from the transfers;
        // a hung-up line is one of them, and must not be left open to spin on.
        QObject::connect(&port_, &QSerialPort::errorOccurred, &port_,
                         [this](QSerialPort::SerialPortError e) { onError(e); });
    }
    ~QtSerialPort() override {
        handler_ = nullptr;
        close();
    }

    bool open(const QString& devicePath) override {
        close();
        errorString_.clear();
        failure_ = OpenFailure::None;
#ifdef Q_OS_UNIX
        // Resolve links so that the lock below and Qt's lock file name the real device,
        // whatever name reached it.
        const QString real = QFileInfo(devicePath).canonicalFilePath();
        if (real.isEmpty()) {
            errorString_ = QStringLiteral("No such file or directory");
            failure_ = OpenFailure::Missing;
            return false;
        }
        // Some program's terminal (a shell's, an editor's) is no reader's line: writing to it
        // would type into that program.
        if (const qint64 pid = terminalOwner(real)) {
            errorString_ =
                QStringLiteral("It is the terminal of process %1, and is left alone").arg(pid);
            failure_ = OpenFailure::Terminal;
            return false;
        }
        // A lock file that names no process (empty, or garbage) and was left by a program that
        // has ended goes; one being written now, or that may not be removed, is said.
        if (!clearNamelessLockFiles(real)) {
            failure_ = OpenFailure::Held;
            return false;
        }
        // A lock file of another serial program that still runs: the device is its own.
        if (const qint64 pid = lockFileHolder(real)) {
            errorString_ = QStringLiteral("Locked by process %1 (a lock file in %2)")
                               .arg(pid)
                               .arg(lockFolders().join(QStringLiteral(" or ")));
            failure_ = OpenFailure::Held;
            return false;
        }
#else
        const QString real = devicePath;
#endif
        port_.setPortName(real);
        if (!port_.open(QIODevice::ReadWrite)) {
            errorString_ = port_.errorString();
            failure_ = classifyOpenError(port_.error(), real);
            port_.clearError();
#ifdef Q_OS_UNIX
            if (failure_ == OpenFailure::Permission)
                errorString_ = QString::fromLocal8Bit(std::strerror(EACCES));
#endif
            return false;
        }
#ifdef Q_OS_UNIX
        // The exclusive bit of the tty does not hold against root; an advisory lock on the
        // device does, and other serial tools honour it too.
        if (::flock(static_cast<int>(port_.handle()), LOCK_EX | LOCK_NB) != 0) {
            errorString_ = QString::fromLocal8Bit(std::strerror(errno));
            failure_ = OpenFailure::Held;
            port_.close();
            port_.clearError();
            return false;
        }
#endif
        return true;
    }

    OpenFailure openFailure() const override {
        return failure_;
    }
    void setGoneHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }

    bool isOpen() const override {
        return port_.isOpen();
    }
    QString errorString() const override {
        return errorString_;
    }
    LineSettings lineSettings() const override {
        LineSettings s = settings_;
        if (!port_.isOpen()) return s;
        s.baudRate = static_cast<uint32_t>(port_.baudRate());
        s.byteSize = static_cast<uint8_t>(port_.dataBits());
        switch (port_.parity()) {
            case QSerialPort::OddParity:
                s.parity = 1;
                break;
            case QSerialPort::EvenParity:
                s.parity = 2;
                break;
            case QSerialPort::MarkParity:
                s.parity = 3;
                break;
            case QSerialPort::SpaceParity:
                s.parity = 4;
                break;
            default:
                s.parity = 0;
                break;
        }
        s.stopBits = port_.stopBits() == QSerialPort::TwoStop ? 2 : 0;
        return s;
    }

    bool setLineSettings(const LineSettings& s) override {
        if (!port_.isOpen()) return false;
        bool ok = port_.setBaudRate(static_cast<qint32>(s.baudRate));
        ok = ok && s.byteSize >= 5 && s.byteSize <= 8 &&
             port_.setDataBits(static_cast<QSerialPort::DataBits>(s.byteSize));
        ok = ok && port_.setParity(parityOf(s.parity));
        ok = ok && port_.setStopBits(s.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
        ok = ok && port_.setFlowControl(QSerialPort::NoFlowControl);
        if (!ok) {
            errorString_ = port_.errorString();
            port_.clearError();
            return false;
        }
        // A pseudo-terminal has no modem lines: failing to drop them there is not an error.
        port_.setDataTerminalReady(false);
        port_.setRequestToSend(false);
        port_.clearError();
        settings_ = s;
        return true;
    }

    Timeouts timeouts() const override {
        return timeouts_;
    }
    bool setTimeouts(const Timeouts& t) override {
        timeouts_ = t;
        return true;
    }

    void purgeInput() override {
        if (!port_.isOpen()) return;
        port_.clear(QSerialPort::Input);
        port_.clearError();
    }

    Transfer write(const uint8_t* p, int n) override {
        Transfer t;
        if (!port_.isOpen()) return {0, PortError::NotOpen};
        if (n <= 0) return t;
        const qint64 queued = port_.write(reinterpret_cast<const char*>(p), n);
        if (queued < 0) return failure();
        QDeadlineTimer deadline(static_cast<qint64>(timeouts_.writeTotalConstant) +
                                static_cast<qint64>(timeouts_.writeTotalPerByte) * n);
        while (port_.bytesToWrite() > 0) {
            if (!port_.waitForBytesWritten(std::max<qint64>(0, deadline.remainingTime()))) {
                if (port_.error() != QSerialPort::TimeoutError &&
                    port_.error() != QSerialPort::NoError)
                    return failure();
                port_.clearError();
                break;
            }
            if (deadline.hasExpired()) break;
        }
        t.count = static_cast<int>(queued - port_.bytesToWrite());
        return t;
    }

    Transfer read(uint8_t* p, int n) override {
        Transfer t;
        if (!port_.isOpen()) return {0, PortError::NotOpen};
        if (n <= 0) return t;
        // Both limits are deadlines on a monotonic clock, computed once: the total one from
        // the start, the interval one from the last byte received.
        QElapsedTimer clock;
        clock.start();
        const qint64 totalMs = static_cast<qint64>(timeouts_.readTotalConstant) +
                               static_cast<qint64>(timeouts_.readTotalPerByte) * n;
        qint64 lastByteMs = -1;
        for (;;) {
            const qint64 got = port_.read(reinterpret_cast<char*>(p) + t.count, n - t.count);
            if (got < 0) return failure(t.count);
            if (got > 0) {
                t.count += static_cast<int>(got);
                lastByteMs = clock.elapsed();
            } else if (hungUp()) {
                // A hung-up line reads as ready with nothing in it, for ever.
                return failure(t.count);
            }
            if (t.count >= n) return t;
            qint64 endMs = totalMs;
            if (lastByteMs >= 0 && timeouts_.readInterval > 0)
                endMs = std::min(endMs, lastByteMs + timeouts_.readInterval);
            const qint64 left = endMs - clock.elapsed();
            if (left <= 0) return t;
            if (!port_.waitForReadyRead(static_cast<int>(left))) {
                const auto e = port_.error();
                if (e == QSerialPort::TimeoutError || e == QSerialPort::NoError) {
                    // A time-out leaves nothing behind for the next exchange to trip over.
                    port_.clearError();
                    continue;
                }
                return failure(t.count);
            }
        }
    }

    void close() override {
        if (!port_.isOpen()) return;
#ifdef Q_OS_UNIX
        const int fd = static_cast<int>(port_.handle());
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
#endif
        port_.close();
        port_.clearError();
    }

private:
    static QSerialPort::Parity parityOf(uint8_t p) {
        switch (p) {
            case 1:
                return QSerialPort::OddParity;
            case 2:
                return QSerialPort::EvenParity;
            case 3:
                return QSerialPort::MarkParity;
            case 4:
                return QSerialPort::SpaceParity;
            default:
                return QSerialPort::NoParity;
        }
    }

#ifdef Q_OS_UNIX
    bool clearNamelessLockFiles(const QString& real) {
        for (const QString& path : lockFilePaths(real)) {
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly)) continue;
            if (lockFilePid(f.read(128)) != 0) continue;  // a PID: the checks below judge it
            f.close();
            const QDateTime written = QFileInfo(path).lastModified();
            if (written.msecsTo(QDateTime::currentDateTime()) < kNamelessLockAgeMs) {
                errorString_ = QStringLiteral(
                                   "The lock file %1 names no process and was written just "
                                   "now: another program may be taking the port")
                                   .arg(path);
                return false;
            }
            if (!QFile::remove(path)) {
                errorString_ = QStringLiteral(
                                   "The lock file %1 names no process and blocks the port; "
                                   "remove it: sudo rm %1")
                                   .arg(path);
                return false;
            }
        }
        return true;
    }
#endif

    static OpenFailure classifyOpenError(QSerialPort::SerialPortError e, const QString& real) {
        if (e == QSerialPort::DeviceNotFoundError) return OpenFailure::Missing;
#ifdef Q_OS_UNIX
        const QByteArray native = QFile::encodeName(real);
        if (::access(native.constData(), R_OK | W_OK) != 0 && errno == EACCES)
            return OpenFailure::Permission;
#else
        (void)real;
#endif
        // Qt says "permission" also for a device that is busy or locked by another program.
        if (e == QSerialPort::PermissionError) return OpenFailure::Held;
        return OpenFailure::NotSerial;
    }

    // The other end of the line has gone: a pulled adapter, a closed pseudo-terminal.
    bool hungUp() const {
        if (!port_.isOpen()) return false;
#ifdef Q_OS_UNIX
        pollfd p{static_cast<int>(port_.handle()), POLLIN, 0};
        if (::poll(&p, 1, 0) < 0) return false;
        return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
        return port_.error() == QSerialPort::ResourceError;
#endif
    }

    void onError(QSerialPort::SerialPortError e) {
        if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError || !port_.isOpen()) return;
        if (e == QSerialPort::ResourceError || hungUp()) goneNow();
    }

    // Releases the device at once, so that nothing spins on it and it can come back under the
    // same name, and tells whoever listens.
    void goneNow() {
        if (!port_.isOpen()) return;
        close();
        if (handler_) {
            const auto h = handler_;
            h();
        }
    }

    Transfer failure(int count = 0) {
        const auto e = port_.error();
        errorString_ = port_.errorString();
        const bool gone = e == QSerialPort::ResourceError || hungUp();
        Transfer t{count, gone ? PortError::Gone : PortError::Io};
        port_.clearError();
        if (gone) goneNow();
        return t;
    }

    QSerialPort port_;
    QString errorString_;
    OpenFailure failure_ = OpenFailure::None;
    std::function<void()> handler_;
    LineSettings settings_{};
    Timeouts timeouts_;
};

// Read by every port's open, set by tests: guarded, and handed out as copies.
std::mutex lockFoldersMutex;
QStringList lockFolderList{QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};

// The PID a lock file names: ten ASCII characters and a newline as the classic serial programs
// write it, or Qt's "PID\nprogram\nhost\n...", or, from old programs, a binary int; 0 when it
// names none.
}  // namespace

qint64 lockFilePid(const QByteArray& content) {
    // The binary form is the PID as four bytes, least significant first. No PID reaches the
    // fourth byte, so a NUL there tells it from text: the bytes of PID 12576, "20 31 00 00",
    // would read as " 1" and name process 1.
    if (content.size() == static_cast<qsizetype>(sizeof(int32_t)) && content[3] == '\0') {
        int32_t binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary > 0 ? binary : 0;
    }
    const int newline = content.indexOf('\n');
    const QByteArray first = (newline < 0 ? content : content.left(newline)).trimmed();
    bool ok = false;
    const qint64 pid = first.toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

QStringList lockFolders() {
    const std::lock_guard<std::mutex> lock(lockFoldersMutex);
    return lockFolderList;
}

void setLockFolders(const QStringList& folders) {
    const std::lock_guard<std::mutex> lock(lockFoldersMutex);
    lockFolderList = folders;
}

qint64 holderPid(const QString& device) {
    if (const qint64 pid = lockFileHolder(device)) return pid;
#ifdef Q_OS_UNIX
    // An advisory lock on the device, as the kernel lists them: "1: FLOCK ADVISORY WRITE <pid>
    // <major>:<minor>:<inode> 0 EOF", the numbers of the file system in hexadecimal.
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) != 0) return 0;
    const QByteArray node = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(static_cast<qulonglong>(st.st_ino));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 6 || f[1] == "->" || f[5] != node) continue;
        const qint64 pid = f[4].toLongLong();
        if (pid > 0 && pid != ::getpid()) return pid;
    }
#endif
    return 0;
}

QStringList lockFilePaths(const QString& device) {
    // The names under which programs lock a device: its path under /dev with '/' as '_' (as Qt
    // and most tools write it), and its bare name.
    QString relative = device;
    if (relative.startsWith(QLatin1String("/dev/"))) relative = relative.mid(5);
    QStringList names{
        QStringLiteral("LCK..") + QString(relative).replace(QLatin1Char('/'), QLatin1Char('_')),
        QStringLiteral("LCK..") + QFileInfo(device).fileName()};
    names.removeDuplicates();
    QStringList paths;
    const QStringList folders = lockFolders();
    for (const QString& folder : folders)
        for (const QString& name : names) paths << folder + QLatin1Char('/') + name;
    return paths;
}

qint64 lockFileHolder(const QString& device) {
#ifdef Q_OS_UNIX
    for (const QString& path : lockFilePaths(device)) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) continue;
        const qint64 pid = lockFilePid(f.read(128));
        // Our own lock is Qt's business; a lock of a process that is gone is stale.
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) return pid;
    }
#else
    (void)device;
#endif
    return 0;
}

namespace {

// Set by tests, read by every port's thread.
std::mutex factoryMutex;
SerialPortFactory portFactory;

}  // namespace

std::unique_ptr<SerialPort> makeSystemSerialPort() {
    return std::make_unique<QtSerialPort>();
}

void setSerialPortFactory(SerialPortFactory f) {
    const std::lock_guard<std::mutex> lock(factoryMutex);
    portFactory = std::move(f);
}

std::unique_ptr<SerialPort> makeSerialPort() {
    SerialPortFactory f;
    {
        const std::lock_guard<std::mutex> lock(factoryMutex);
        f = portFactory;
    }
    if (f) return f();
    return makeSystemSerialPort();
}

}  // namespace comlink
