// The watch: the job on every reader as it comes, each once per connection, until a stop.

#include <QSet>
#include <QThread>
#include <map>
#include <memory>
#include <mutex>

#include "device/bench.h"
#include "device/reader.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/probe.h"

namespace device {

namespace {

bool portExists(const QString& port) {
    return !portDevice(port).isEmpty();
}

// Whether a reader answers on the port now: one version request, nothing logged. A port that
// another program holds has no reader for us.
bool readerAnswers(const QString& port) {
    std::unique_ptr<comlink::SerialPort> line = comlink::makeSerialPortFor(comlink::portPath(port));
    if (!line->open(comlink::portPath(port))) return false;
    if (!configureReaderLine(*line)) return false;
    Reader reader([](const QString&) {}, [](const QString&, const QString&, const QString&) {});
    reader.setPort(line.get());
    return reader.identify().reply == comlink::Reply::Accepted;
}

class Watch {
public:
    Watch(const BenchJob& job, BenchEvents& events) : job_(job), events_(events) {}

    bool stopped() const { return job_.stopCode && job_.stopCode() != 0; }

    // Sleeps a second, or less when a stop comes.
    void pause() const {
        device::pause(1000, [this] { return stopped(); });
    }

    // Each reader on the port once per connection, until a stop or the port goes away.
    void watchPort(const QString& port) {
        for (;;) {
            // A reader that answers (asked no more than once a second).
            while (!stopped() && portExists(port) && !readerAnswers(port)) pause();
            if (stopped() || !portExists(port)) return;
            const UnitRun run = runUnit(job_, port, &events_);
            if (job_.keepRuns) {
                std::lock_guard<std::mutex> lock(mutex_);
                runs_.push_back(run);
            }
            // Said for every unit whose run is over, also when a stop came meanwhile.
            events_.line(
                port, false,
                QStringLiteral("%1 (%2): you may unplug it")
                    .arg(run.code == kOk ? QStringLiteral("done") : QStringLiteral("failed"),
                         run.outcome));
            if (stopped()) return;
            // The same reader is not taken twice: the next unit is the next reader. One request
            // left unanswered (a reply lost, a slow moment) is not yet a reader gone: it is gone
            // when two in a row go unanswered.
            for (int silent = 0; silent < 2 && !stopped() && portExists(port);) {
                silent = readerAnswers(port) ? 0 : silent + 1;
                if (silent == 0) pause();
            }
            if (stopped() || !portExists(port)) return;
        }
    }

    std::vector<UnitRun> runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }

private:
    const BenchJob& job_;
    BenchEvents& events_;
    std::mutex mutex_;
    std::vector<UnitRun> runs_;
};

}  // namespace

std::vector<UnitRun> watchBench(const BenchJob& job, const QStringList& given,
                                BenchEvents& events) {
    Watch watch(job, events);
    std::map<QString, std::unique_ptr<QThread>> watchers;
    auto start = [&](const QString& port) {
        auto t =
            std::unique_ptr<QThread>(QThread::create([&watch, port] { watch.watchPort(port); }));
        t->start();
        watchers[port] = std::move(t);
    };
    const QStringList ports = given;  // this thread's own copy
    for (const QString& port : ports) start(port);
    // The ports there at the start and not asked for are left alone, never opened, while they
    // stay; one that goes and comes back has appeared. Only a name whose device has appeared is
    // opened, to see whether it is a serial port that opens; one that does not yet (another
    // program, such as a modem manager, looks at every new adapter first) is tried again each
    // second until it opens or goes.
    auto namesNow = [] {
        const QStringList names = comlink::namesWithDevice();
        return QSet<QString>(names.begin(), names.end());
    };
    QSet<QString> present = namesNow();
    QSet<QString> appeared;
    while (!watch.stopped()) {
        // A port whose watch ended (it went away) may come back as a new one.
        for (auto it = watchers.begin(); it != watchers.end();)
            it = it->second->isFinished() ? watchers.erase(it) : std::next(it);
        const QSet<QString> now = namesNow();
        for (const QString& name : now)
            if (!present.contains(name)) appeared.insert(name);
        present = now;
        appeared.removeIf(
            [&](const QString& name) { return !now.contains(name) || watchers.count(name) > 0; });
        if (!appeared.isEmpty())
            for (const comlink::ProbedPort& p : comlink::probePorts([&](const QString& name) {
                                                    return !appeared.contains(name);
                                                }).ports) {
                appeared.remove(p.name);
                start(p.name);
            }
        // Given ports that are not there yet are watched as they come too.
        for (const QString& port : ports)
            if (!watchers.count(port) && portExists(port)) start(port);
        watch.pause();
    }
    for (auto& [port, t] : watchers) t->wait();
    return watch.runs();
}

}  // namespace device
