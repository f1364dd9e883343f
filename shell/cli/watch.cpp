// --watch: the command on every reader as it comes, each once per connection, until a signal.

#include <QFileInfo>
#include <QThread>
#include <map>
#include <memory>
#include <mutex>

#include "device/reader.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "shell/cli/bench.h"
#include "shell/cli/board.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"

namespace cli {

namespace {

bool portExists(const QString& port) {
    return !portDevice(port).isEmpty();
}

// Whether a reader answers on the port now: one version request, nothing logged. A port that
// another program holds has no reader for us.
bool readerAnswers(const QString& port) {
    std::unique_ptr<comlink::SerialPort> line = comlink::makeSerialPort();
    if (!line->open(comlink::portPath(port))) return false;
    if (!device::configureReaderLine(*line)) return false;
    device::Reader reader([](const QString&) {},
                          [](const QString&, const QString&, const QString&) {});
    reader.setPort(line.get());
    return reader.identify().reply == comlink::Reply::Accepted;
}

// Sleeps a second, or less when a signal comes.
void pause() {
    for (int i = 0; i < 20 && !stopSignal; ++i) QThread::msleep(50);
}

// --watch: each reader on the port once per connection, until a signal or the port goes away.
class Watch {
public:
    Watch(const Options& o, const CommandSpec& c, Board& board, const FileFacts& facts)
        : o_(o), c_(c), board_(board), facts_(facts) {}

    void watchPort(const QString& port) {
        for (;;) {
            // A reader that answers (asked no more than once a second).
            while (!stopSignal && portExists(port) && !readerAnswers(port)) pause();
            if (stopSignal || !portExists(port)) return;
            const PortRun run = runPort(o_, c_, port, &board_, facts_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                runs_.push_back(run);
            }
            // Said for every unit whose run is over, also when a signal came meanwhile.
            board_.line(
                port, false,
                QStringLiteral("%1 (%2): you may unplug it")
                    .arg(run.code == kOk ? QStringLiteral("done") : QStringLiteral("failed"),
                         run.outcome));
            if (stopSignal) return;
            // The same reader is not taken twice: the next unit is the next reader. One request
            // left unanswered (a reply lost, a slow moment) is not yet a reader gone: it is gone
            // when two in a row go unanswered.
            for (int silent = 0; silent < 2 && !stopSignal && portExists(port);) {
                silent = readerAnswers(port) ? 0 : silent + 1;
                if (silent == 0) pause();
            }
            if (stopSignal || !portExists(port)) return;
        }
    }

    std::vector<PortRun> runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }

private:
    const Options& o_;
    const CommandSpec& c_;
    Board& board_;
    const FileFacts& facts_;
    std::mutex mutex_;
    std::vector<PortRun> runs_;
};

}  // namespace

int runWatching(const Options& o, const CommandSpec& c, QStringList ports, Board& board,
                const FileFacts& facts) {
    Watch watch(o, c, board, facts);
    std::map<QString, std::unique_ptr<QThread>> watchers;
    auto start = [&](const QString& port) {
        auto t =
            std::unique_ptr<QThread>(QThread::create([&watch, port] { watch.watchPort(port); }));
        t->start();
        watchers[port] = std::move(t);
    };
    for (const QString& port : ports) start(port);
    // The ports there at the start and not asked for are left alone while they stay; one that
    // goes and comes back has appeared.
    QStringList before;
    for (const comlink::ProbedPort& p :
         comlink::probePorts([&](const QString& name) { return watchers.count(name) > 0; }).ports)
        before << p.name;
    while (!stopSignal) {
        // A port whose watch ended (it went away) may come back as a new one.
        for (auto it = watchers.begin(); it != watchers.end();)
            it = it->second->isFinished() ? watchers.erase(it) : std::next(it);
        // Ports that appeared: the probe leaves the watched ones alone.
        const auto probe =
            comlink::probePorts([&](const QString& name) { return watchers.count(name) > 0; });
        QStringList listed;
        for (const comlink::ProbedPort& p : probe.ports) {
            listed << p.name;
            if (!watchers.count(p.name) && !before.contains(p.name)) start(p.name);
        }
        before.removeIf([&](const QString& name) { return !listed.contains(name); });
        // Given ports that are not there yet are watched as they come too.
        for (const QString& port : o.ports)
            if (!watchers.count(port) && portExists(port)) start(port);
        pause();
    }
    for (auto& [port, t] : watchers) t->wait();
    board.finish();
    const std::vector<PortRun> runs = watch.runs();
    return summarize(o, runs, board);
}

}  // namespace cli
