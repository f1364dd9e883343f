// The serial port layer against a real pseudo-terminal.

#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "link/port_names.h"
#include "link/serial_port.h"
#include "tests/support/harness.h"

namespace {

using comlink::PortError;
using th::Bytes;
using th::hexBytes;

constexpr comlink::Timeouts kReader{100, 1, 2000, 1, 10};
constexpr comlink::LineSettings kLine{9600, 1, 8, 0, 0};

std::unique_ptr<comlink::SerialPort> openReaderPort(const std::string& path) {
    auto port = comlink::makeSystemSerialPort();
    EXPECT_TRUE(port->open(QString::fromStdString(path))) << port->errorString().toStdString();
    EXPECT_TRUE(port->setLineSettings(kLine));
    port->setTimeouts(kReader);
    return port;
}

using th::threadCpuMs;

TEST(SerialPort, OpenIsExclusiveWhateverNameReachesTheDevice) {
    emu::PtyReader reader;
    auto first = comlink::makeSystemSerialPort();
    ASSERT_TRUE(first->open(QString::fromStdString(reader.slavePath())));

    // A second open in this program, by the device's own name and through a link.
    auto second = comlink::makeSystemSerialPort();
    EXPECT_FALSE(second->open(QString::fromStdString(reader.slavePath())));
    EXPECT_FALSE(second->errorString().isEmpty());
    const QString linkPath = emu::portLinkPath(QStringLiteral("COM77"));
    ASSERT_TRUE(emu::linkPty(reader.slavePath(), QStringLiteral("COM77"), emu::LinkMode::Replace));
    EXPECT_FALSE(second->open(linkPath));

    // Another program that honours the advisory lock cannot take it either (this test runs as
    // whoever runs it, root included: the lock holds for root too).
    EXPECT_EQ(th::holdDevice(reader.slavePath()), -1);

    // Once closed, the device is free again, for this program and for others.
    first->close();
    EXPECT_TRUE(second->open(linkPath));
    second->close();
    const int fd = th::holdDevice(reader.slavePath());
    EXPECT_GE(fd, 0);
    th::releaseDevice(fd);
    QFile::remove(linkPath);
}

TEST(SerialPort, OpenFailsWhileAnotherProgramHoldsTheDevice) {
    emu::PtyReader reader;
    const int fd = th::holdDevice(reader.slavePath());
    ASSERT_GE(fd, 0);
    auto port = comlink::makeSystemSerialPort();
    EXPECT_FALSE(port->open(QString::fromStdString(reader.slavePath())));
    th::releaseDevice(fd);
    EXPECT_TRUE(port->open(QString::fromStdString(reader.slavePath())));
}

TEST(SerialPort, OpenOfAMissingDeviceFailsWithAReason) {
    auto port = comlink::makeSystemSerialPort();
    EXPECT_FALSE(port->open(QStringLiteral("/nonexistent/ttyS99")));
    EXPECT_FALSE(port->isOpen());
    EXPECT_FALSE(port->errorString().isEmpty());
}

TEST(SerialPort, LineSettingsReachTheDevice) {
    emu::PtyReader reader;
    auto port = openReaderPort(reader.slavePath());
    const int fd = ::open(reader.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP | INPCK));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(t.c_oflag & OPOST);

    const comlink::LineSettings back = port->lineSettings();
    EXPECT_EQ(back.baudRate, 9600u);
    EXPECT_EQ(back.byteSize, 8);
    EXPECT_EQ(back.parity, 0);
    EXPECT_EQ(back.stopBits, 0);
}

TEST(SerialPort, ReadOfASilentReaderEndsAfterTheTotalTimeWithoutSpinning) {
    emu::PtyReader reader;
    auto port = openReaderPort(reader.slavePath());
    uint8_t buf[3];
    comlink::Transfer t;
    const double cpu0 = threadCpuMs();
    const long long ms = th::timedMs([&] { t = port->read(buf, 3); });
    const double cpu = threadCpuMs() - cpu0;
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(t.error, PortError::None);
    EXPECT_GE(ms, 2000);
    EXPECT_LT(ms, 3000);
    EXPECT_LT(cpu, 300.0) << "CPU spent waiting";

    // The time-out left nothing behind: the next read gets what the reader sends.
    reader.sendNow(hexBytes("01 02 03"));
    t = port->read(buf, 3);
    EXPECT_EQ(t.count, 3);
    EXPECT_EQ(th::hex(buf, 3), "01 02 03");
}

TEST(SerialPort, ReadEndsOneIntervalAfterTheLastByte) {
    emu::PtyReader reader;
    auto port = openReaderPort(reader.slavePath());
    reader.sendNow(hexBytes("AA BB"));
    uint8_t buf[10];
    comlink::Transfer t;
    const long long ms = th::timedMs([&] { t = port->read(buf, 10); });
    EXPECT_EQ(t.count, 2);
    EXPECT_FALSE(t.failed());
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 1500);  // not the 2 s total
}

TEST(SerialPort, ReadReturnsAsSoonAsTheCountHasArrived) {
    emu::PtyReader reader;
    auto port = openReaderPort(reader.slavePath());
    // A read that waited for the 100 ms interval takes longer every time; a busy machine can
    // hold up a quick one now and then, but not three times in a row.
    long long fastest = 1000000;
    comlink::Transfer t;
    uint8_t buf[4];
    for (int i = 0; i < 3; ++i) {
        port->purgeInput();
        reader.sendNow(hexBytes("01 02 03 04 05 06"));
        QThread::msleep(20);
        fastest = std::min(fastest, th::timedMs([&] { t = port->read(buf, 4); }));
        ASSERT_EQ(t.count, 4);
    }
    EXPECT_LT(fastest, 90);
    // The rest stays queued until it is read or purged.
    t = port->read(buf, 2);
    EXPECT_EQ(th::hex(buf, 2), "05 06");
}

TEST(SerialPort, PurgeDropsInputButNeverOutputNotYetSent) {
    emu::PtyReader reader;
    auto port = openReaderPort(reader.slavePath());
    reader.sendNow(hexBytes("DE AD BE EF"));
    // Not a command frame, so the reader does not answer it.
    const Bytes frame = hexBytes("10 20 30 40 50 60 70");
    const comlink::Transfer w = port->write(frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(w.count, 7);
    port->purgeInput();
    // The whole frame reached the reader although the purge came right after the write.
    for (int i = 0; i < 100 && reader.received().size() < frame.size(); ++i) usleep(2000);
    EXPECT_EQ(th::hex(reader.received()), "10 20 30 40 50 60 70");
    // ... and the reader's earlier bytes are gone.
    reader.sendNow(hexBytes("11"));
    uint8_t buf[4];
    const comlink::Transfer r = port->read(buf, 4);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(buf[0], 0x11);
}

TEST(SerialPort, TransfersOnAClosedPortReportNotOpen) {
    auto port = comlink::makeSystemSerialPort();
    uint8_t b[1] = {0};
    EXPECT_EQ(port->read(b, 1).error, PortError::NotOpen);
    EXPECT_EQ(port->write(b, 1).error, PortError::NotOpen);
}

// A bench opens its ports from a thread each: every open reads the table of controlling
// terminals, the lock folders and the port factory, while a test (or the watch's probe) may set
// them. Run in the sanitizer build, a torn table or a list detached under a reader shows here.
TEST(SerialPort, OpensFromManyThreadsAtOnceWhileTheSharedSettingsChange) {
    constexpr int kPorts = 8;
    std::vector<std::unique_ptr<emu::PtyReader>> readers;
    for (int i = 0; i < kPorts; ++i) readers.push_back(std::make_unique<emu::PtyReader>());
    const QStringList folders = comlink::lockFolders();
    std::atomic<bool> done{false};
    std::atomic<int> failed{0};
    std::thread changer([&] {
        for (int i = 0; !done; ++i) {
            comlink::setLockFolders(i % 2 ? folders : folders + QStringList{"/tmp"});
            const QStringList paths = comlink::lockFilePaths("/dev/ttyS0");
            if (paths.isEmpty()) ++failed;
            comlink::setSerialPortFactory(i % 2 ? comlink::SerialPortFactory{}
                                                : [] { return comlink::makeSystemSerialPort(); });
            QThread::usleep(200);
        }
    });
    std::mutex whyMutex;
    QStringList why;
    std::vector<std::unique_ptr<QThread>> openers;
    for (int p = 0; p < kPorts; ++p) {
        // A QThread, as the bench's: the serial port wants an event dispatcher.
        openers.emplace_back(
            QThread::create([&, path = QString::fromStdString(readers[p]->slavePath())] {
                for (int i = 0; i < 40; ++i) {
                    auto port = comlink::makeSerialPort();
                    if (!port->open(path)) {
                        ++failed;
                        const std::lock_guard<std::mutex> lock(whyMutex);
                        why << port->errorString();
                    }
                    port->close();
                }
            }));
        openers.back()->start();
    }
    for (auto& t : openers) t->wait();
    done = true;
    changer.join();
    comlink::setLockFolders(folders);
    comlink::setSerialPortFactory({});
    EXPECT_EQ(failed, 0) << why.join('\n').toStdString();
}

}  // namespace
