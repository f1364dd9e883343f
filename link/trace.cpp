#include "link/trace.h"

#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <deque>
#include <mutex>

#include "link/frame.h"
#include "link/port_names.h"

namespace comlink {

namespace {

// Every line goes to the ring; to the file too while a trace file is written.
struct Sink {
    std::mutex mutex;  // ports traced from several threads write whole lines
    QFile file;
    QString path;
    bool toStderr = false;                          // the trace file is "-"
    std::function<void(const QByteArray&)> writer;  // where "-" goes; none: the file
    QElapsedTimer clock;
    std::deque<QByteArray> ring;  // the newest lines, kTraceRingBytes at most
    qsizetype ringBytes = 0;
};

// Made by the first line or the first trace file, and never taken down: a port closed while the
// program ends still has somewhere to write.
Sink& sink() {
    static Sink* s = [] {
        auto* made = new Sink;
        made->clock.start();
        return made;
    }();
    return *s;
}

void traceLine(const QString& name, const QString& device, const QString& event) {
    Sink& s = sink();
    const double ms = static_cast<double>(s.clock.nsecsElapsed()) / 1e6;
    QByteArray line = QStringLiteral("%1 %2 %3 %4\n")
                          .arg(ms, 0, 'f', 3)
                          .arg(name, device.isEmpty() ? QStringLiteral("-") : device, event)
                          .toUtf8();
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (s.toStderr && s.writer) {
        s.writer(line);
    } else if (s.file.isOpen()) {
        s.file.write(line);
        s.file.flush();  // a trace is for the moment things go wrong: nothing waits in a buffer
    }
    s.ringBytes += line.size();
    s.ring.push_back(std::move(line));
    while (s.ringBytes > kTraceRingBytes && !s.ring.empty()) {
        s.ringBytes -= s.ring.front().size();
        s.ring.pop_front();
    }
}

QString bytes(const uint8_t* p, int n) {
    return QString::fromStdString(hexDump(p, static_cast<std::size_t>(n)));
}

QString waited(qint64 ns) {
    return QStringLiteral("waited=%1").arg(static_cast<double>(ns) / 1e6, 0, 'f', 3);
}

// Forwards every call to the port and writes what happened on the line to the trace.
class TracedPort final : public SerialPort {
public:
    TracedPort(std::unique_ptr<SerialPort> inner, QString name)
        : inner_(std::move(inner)), name_(std::move(name)) {}

    bool open(const QString& devicePath) override {
        device_ = realDevicePath(devicePath);
        const bool ok = inner_->open(devicePath);
        trace(ok ? QStringLiteral("open")
                 : QStringLiteral("open failed: %1").arg(inner_->errorString()));
        return ok;
    }
    bool isOpen() const override { return inner_->isOpen(); }
    QString errorString() const override { return inner_->errorString(); }
    OpenFailure openFailure() const override { return inner_->openFailure(); }
    void setGoneHandler(std::function<void()> handler) override {
        inner_->setGoneHandler([this, handler = std::move(handler)] {
            trace(QStringLiteral("close (the device went away)"));
            if (handler) handler();
        });
    }
    LineSettings lineSettings() const override { return inner_->lineSettings(); }
    bool setLineSettings(const LineSettings& s) override {
        const bool ok = inner_->setLineSettings(s);
        trace(QStringLiteral("set baud=%1 bits=%2 parity=%3 stop=%4 flags=%5%6")
                  .arg(s.baudRate)
                  .arg(s.byteSize)
                  .arg(s.parity)
                  .arg(s.stopBits)
                  .arg(s.flags)
                  .arg(ok ? QString() : QStringLiteral(" failed")));
        return ok;
    }
    Timeouts timeouts() const override { return inner_->timeouts(); }
    bool setTimeouts(const Timeouts& t) override {
        const bool ok = inner_->setTimeouts(t);
        trace(QStringLiteral("set timeouts=%1,%2,%3,%4,%5")
                  .arg(t.readInterval)
                  .arg(t.readTotalPerByte)
                  .arg(t.readTotalConstant)
                  .arg(t.writeTotalPerByte)
                  .arg(t.writeTotalConstant));
        return ok;
    }
    void purgeInput() override {
        inner_->purgeInput();
        trace(QStringLiteral("purge"));
    }
    Transfer write(const uint8_t* p, int n) override {
        const Transfer t = inner_->write(p, n);
        trace(QStringLiteral("write ") + bytes(p, t.count > 0 ? t.count : n) +
              (t.failed() ? QStringLiteral(" failed") : QString()));
        return t;
    }
    Transfer read(uint8_t* p, int n) override {
        QElapsedTimer clock;
        clock.start();
        const Transfer t = inner_->read(p, n);
        const qint64 ns = clock.nsecsElapsed();
        if (t.count > 0) trace(QStringLiteral("read ") + bytes(p, t.count) + ' ' + waited(ns));
        if (t.failed())
            trace(QStringLiteral("read failed ") + waited(ns));
        else if (t.count < n)
            trace(QStringLiteral("timeout %1 of %2 bytes ").arg(t.count).arg(n) + waited(ns));
        return t;
    }
    void close() override {
        const bool wasOpen = inner_->isOpen();
        inner_->close();
        if (wasOpen) trace(QStringLiteral("close"));
    }
    ~TracedPort() override {
        if (inner_->isOpen()) {
            inner_->close();
            trace(QStringLiteral("close"));
        }
    }

private:
    void trace(const QString& event) const { traceLine(name_, device_, event); }
    std::unique_ptr<SerialPort> inner_;
    QString name_;
    QString device_;
};

}  // namespace

bool startTrace(const QString& path, QString* error) {
    Sink& s = sink();
    const std::lock_guard<std::mutex> lock(s.mutex);
    s.file.close();
    s.path.clear();
    s.toStderr = path == QLatin1String("-");
    if (path != QLatin1String("-")) s.file.setFileName(path);
    const bool ok = path == QLatin1String("-")
                        ? s.file.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered)
                        : s.file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (!ok) {
        *error = QStringLiteral("cannot write the trace to %1: %2").arg(path, s.file.errorString());
        return false;
    }
    s.path = path;
    return true;
}

void setTraceWriter(std::function<void(const QByteArray& line)> writer) {
    Sink& s = sink();
    const std::lock_guard<std::mutex> lock(s.mutex);
    s.writer = std::move(writer);
}

QString tracePath() {
    Sink& s = sink();
    const std::lock_guard<std::mutex> lock(s.mutex);
    return s.path;
}

QByteArray traceRing() {
    Sink& s = sink();
    const std::lock_guard<std::mutex> lock(s.mutex);
    QByteArray all;
    all.reserve(s.ringBytes);
    for (const QByteArray& line : s.ring) all += line;
    return all;
}

std::unique_ptr<SerialPort> traced(std::unique_ptr<SerialPort> port, const QString& name) {
    return std::make_unique<TracedPort>(std::move(port), name);
}

}  // namespace comlink
