// Several ports at once: a thread a port, each with a session of its own on its own port, so that
// one port's fault never stops, slows or changes another; their output, each line with its port;
// a summary at the end; and a record of each reader done.

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "device/reader.h"
#include "device/settings_file.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "shell/cli/bench.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

namespace {

// What an exit code says, for a row of the summary and its totals.
QString reason(int code) {
    switch (code) {
        case kOk:
            return QStringLiteral("succeeded");
        case kFailed:
            return QStringLiteral("refused, no answer or not delivered");
        case kUsage:
            return QStringLiteral("not run: a usage error or no such port");
        case kPortUnusable:
            return QStringLiteral("the port cannot be opened");
        case kInBootLoader:
            return QStringLiteral("waits in its boot loader");
        case kOutputFailed:
            return QStringLiteral("output not written");
        default:
            return QStringLiteral("stopped by a signal");
    }
}

// 2026-12-10T08:17:43+01:00: the local time with its offset, also where it is 0.
QString isoTimeWithOffset(const QDateTime& t) {
    const int offset = t.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString deviceOf(const QString& port) {
    const bool isPath = port.startsWith(QLatin1Char('/')) || port.startsWith(QLatin1Char('\\'));
    const QString path = isPath ? port : comlink::devicePath(port);
    return QFileInfo::exists(path) ? comlink::realDevicePath(path) : QString();
}

}  // namespace

// The output of every port: lines with their port, progress, JSON Lines events. One lock keeps
// each line whole and each port's lines in their order.
class Board {
public:
    explicit Board(const Options& o)
        : json_(o.json), live_(!o.json && stderrIsTerminal()), clock_() {
        clock_.start();
    }

    void line(const QString& port, bool error, const QString& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_)
            return send({{"port", port},
                         {"kind", "line"},
                         {"stream", error ? "stderr" : "stdout"},
                         {"text", text}});
        eraseLive();
        print(error ? stderr : stdout, port + QStringLiteral(": ") + text + '\n');
        drawLive();
    }

    void progress(const QString& port, int percent, qint64 imageBytes, qint64 elapsedMs,
                  const QString& step) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_)
            return send({{"port", port},
                         {"kind", "progress"},
                         {"percent", percent},
                         {"bytes", imageBytes * percent / 100},
                         {"imageBytes", imageBytes},
                         {"step", step}});
        const QString text = progressLine(live_, percent, imageBytes, elapsedMs, step);
        if (live_) {
            eraseLive();
            rows_[port] = port + QStringLiteral(" ") + text;
            drawLive();
            return;
        }
        // Elsewhere a plain line a port, at most once a second, and the last one always.
        qint64& last = lastPlain_[port];
        if (percent < 100 && last && clock_.elapsed() - last < 1000) return;
        last = clock_.elapsed();
        print(stderr, port + QStringLiteral(": ") + text + '\n');
    }

    void started(const QString& port, const QString& device, const QString& command) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_)
            return send(
                {{"port", port}, {"kind", "start"}, {"device", device}, {"command", command}});
        if (live_) {
            eraseLive();
            rows_[port] = port + QStringLiteral(" ") + command;
            drawLive();
        }
    }

    void ended(const QString& port, QJsonObject end) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json_) {
            end["port"] = port;
            end["kind"] = "end";
            return send(end);
        }
        if (live_) {
            eraseLive();
            rows_[port] = port + QStringLiteral(" ") + end["outcome"].toString();
            drawLive();
        }
    }

    // The live rows are done with: they stay on the screen as they last were.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        drawn_ = 0;
    }

    void emitSummary(QJsonObject summary) {
        std::lock_guard<std::mutex> lock(mutex_);
        summary["port"] = QJsonValue::Null;
        summary["kind"] = "summary";
        send(summary);
    }

private:
    void send(const QJsonObject& event) {
        print(stdout,
              QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) + '\n');
    }
    // On a terminal, one row a port at the foot of standard error, redrawn in place.
    void eraseLive() {
        if (!live_ || drawn_ == 0) return;
        print(stderr, QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn_));
        drawn_ = 0;
    }
    void drawLive() {
        if (!live_ || rows_.empty()) return;
        QString text;
        for (const auto& [port, row] : rows_) text += row.left(200) + '\n';
        print(stderr, text);
        drawn_ = static_cast<int>(rows_.size());
    }

    std::mutex mutex_;
    const bool json_;
    const bool live_;
    QElapsedTimer clock_;
    std::map<QString, QString> rows_;
    int drawn_ = 0;
    std::map<QString, qint64> lastPlain_;
};

namespace {

// A port's lines and progress, handed to the board.
class BoardOutput : public PortOutput {
public:
    BoardOutput(Board& board, QString port) : board_(board), port_(std::move(port)) {}
    void line(bool error, const QString& text) override { board_.line(port_, error, text); }
    void progress(int percent, qint64 imageBytes, qint64 elapsedMs,
                  const QString& logLine) override {
        board_.progress(port_, percent, imageBytes, elapsedMs, logLine);
    }

private:
    Board& board_;
    QString port_;
};

}  // namespace

FileFacts fileFacts(const Options& o) {
    FileFacts f;
    if (o.file.isEmpty() || (o.command != "program" && o.command != "restore")) return f;
    QFile file(o.file);
    if (file.open(QIODevice::ReadOnly)) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        f.sha256 = QString::fromLatin1(hash.result().toHex());
    }
    return f;
}

PortRun runPort(const Options& base, const CommandSpec& c, const QString& port, Board* board,
                const FileFacts& facts) {
    Options o = base;
    o.port = port;
    PortRun r;
    r.port = port;
    r.device = deviceOf(port);
    std::unique_ptr<BoardOutput> output;
    if (board) {
        output = std::make_unique<BoardOutput>(*board, port);
        board->started(port, r.device, o.command);
    }
    setPortOutput(output.get());
    QElapsedTimer clock;
    clock.start();
    Session s(o);
    r.code = s.run(c);
    r.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    setPortOutput(nullptr);

    const device::Configuration& config = s.config();
    if (config.who.reply == comlink::Reply::Accepted) {
        const auto& v = config.who.version;
        r.modelCode = v[3];
        r.modelName = config.who.row && config.who.row->named
                          ? QString::fromLatin1(config.who.row->logName)
                          : QString();
        r.firmware = QStringLiteral("%1.%2.%3").arg(v[2]).arg(v[1]).arg(v[0]);
    }
    r.outcome = s.report.outcome.isEmpty() ? reason(r.code) : s.report.outcome;
    r.bytesAccepted = s.report.bytesAccepted;
    r.imageBytes = s.report.imageBytes;
    r.backup = s.backupPath();
    r.firmwareAfter = s.report.firmwareAfter;

    QJsonObject end{
        {"outcome", r.outcome}, {"exitCode", r.code}, {"device", r.device}, {"seconds", r.seconds}};
    if (r.modelCode >= 0) {
        end["model"] = QJsonObject{{"code", r.modelCode}, {"name", r.modelName}};
        end["firmware"] = r.firmware;
        if (!r.firmwareAfter.isEmpty()) end["firmwareAfter"] = r.firmwareAfter;
    }
    if (r.bytesAccepted >= 0) {
        end["bytesAccepted"] = r.bytesAccepted;
        end["imageBytes"] = r.imageBytes;
    }
    if (!s.report.read.isEmpty()) end[o.command] = s.report.read;
    if (board) board->ended(port, end);

    if (!o.units.isEmpty()) {
        // The unit's record, on the disk before the unit is said done.
        const QString serial =
            r.device.isEmpty() ? QString() : comlink::adapterSerialNumber(r.device);
        QJsonObject unit{
            {"time", isoTimeWithOffset(QDateTime::currentDateTime())},
            {"port", port},
            {"device", r.device},
            {"adapterSerial", serial.isEmpty() ? QJsonValue() : QJsonValue(serial)},
            {"model", r.modelCode >= 0
                          ? QJsonValue(QJsonObject{{"code", r.modelCode}, {"name", r.modelName}})
                          : QJsonValue()},
            {"firmwareBefore", r.firmware.isEmpty() ? QJsonValue() : QJsonValue(r.firmware)},
            {"firmwareAfter",
             r.firmwareAfter.isEmpty() ? QJsonValue() : QJsonValue(r.firmwareAfter)},
            {"command", o.command},
            {"file", o.file.isEmpty() ? QJsonValue() : QJsonValue(o.file)},
            {"sha256", facts.sha256.isEmpty() ? QJsonValue() : QJsonValue(facts.sha256)},
            {"outcome", r.outcome},
            {"exitCode", r.code},
            {"bytesAccepted", r.bytesAccepted >= 0 ? QJsonValue(r.bytesAccepted) : QJsonValue()},
            {"seconds", r.seconds},
            {"backup", r.backup.isEmpty() ? QJsonValue() : QJsonValue(r.backup)},
        };
        QString error;
        if (!device::appendRecordLine(
                o.units, QJsonDocument(unit).toJson(QJsonDocument::Compact) + '\n', &error)) {
            setPortOutput(output.get());
            err(QStringLiteral("the unit's record was not written: ") + error);
            setPortOutput(nullptr);
            if (r.code == kOk) r.code = kOutputFailed;
        }
    }
    return r;
}

namespace {

bool portExists(const QString& port) {
    return !deviceOf(port).isEmpty();
}

// Whether a reader answers on the port now: one version request, nothing logged. A port that
// another program holds has no reader for us.
bool readerAnswers(const QString& port) {
    const bool isPath = port.startsWith(QLatin1Char('/')) || port.startsWith(QLatin1Char('\\'));
    std::unique_ptr<comlink::SerialPort> line = comlink::makeSerialPort();
    if (!line->open(isPath ? port : comlink::devicePath(port))) return false;
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
            if (stopSignal) return;
            board_.line(
                port, false,
                QStringLiteral("%1 (%2): you may unplug it")
                    .arg(run.code == kOk ? QStringLiteral("done") : QStringLiteral("failed"),
                         run.outcome));
            // The same reader is not taken twice: the next unit is the next reader.
            while (!stopSignal && portExists(port) && readerAnswers(port)) pause();
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

}  // namespace

int runSeveral(const Options& o, const CommandSpec& c) {
    QStringList ports = o.ports;
    if (o.all)
        for (const comlink::ProbedPort& p : comlink::probePorts().ports)
            if (!ports.contains(p.name)) ports << p.name;
    const FileFacts facts = fileFacts(o);
    Board board(o);
    if (o.watch) return runWatching(o, c, ports, board, facts);
    if (ports.isEmpty()) {
        err(QStringLiteral("--all: there is no port to run on (torvik-cli ports says why)"));
        return kUsage;
    }
    std::vector<PortRun> runs(static_cast<std::size_t>(ports.size()));
    std::vector<std::unique_ptr<QThread>> threads;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        // A QThread: the serial port wants an event dispatcher in the thread that opens it.
        threads.emplace_back(QThread::create([&, i] {
            runs[static_cast<std::size_t>(i)] = runPort(o, c, ports[i], &board, facts);
        }));
        threads.back()->start();
    }
    for (auto& t : threads) t->wait();
    board.finish();
    return summarize(o, runs, board);
}

int summarize(const Options& o, const std::vector<PortRun>& runs, Board& board) {
    int done = 0;
    std::map<QString, int> failed;
    for (const PortRun& r : runs) {
        if (r.code == kOk)
            ++done;
        else
            ++failed[reason(r.code)];
    }
    const int failures = static_cast<int>(runs.size()) - done;
    // SIGINT is how --watch ends: its units say how it went.
    const bool interrupted = stopSignal && !(o.watch && stopSignal == SIGINT);
    int code = interrupted ? signalExit() : failures ? int(kSomeFailed) : int(kOk);
    // diff on several ports: 1 when a reader differs, as for one port, where every port ran.
    if (!interrupted && o.command == QLatin1String("diff") &&
        std::all_of(runs.begin(), runs.end(),
                    [](const PortRun& r) { return r.code == kOk || r.code == kFailed; }))
        code = failures ? int(kFailed) : int(kOk);
    if (o.json) {
        QJsonObject reasons;
        for (const auto& [why, n] : failed) reasons[why] = n;
        board.emitSummary(QJsonObject{{"ports", static_cast<int>(runs.size())},
                                      {"done", done},
                                      {"failed", failures},
                                      {"reasons", reasons},
                                      {"exitCode", code}});
        return code;
    }
    std::vector<QStringList> rows{
        {"PORT", "DEVICE", "MODEL", "FIRMWARE", "OUTCOME", "CODE", "TIME"}};
    for (const PortRun& r : runs)
        rows.push_back(
            {r.port, r.device.isEmpty() ? QStringLiteral("-") : r.device,
             r.modelCode < 0
                 ? QStringLiteral("-")
                 : QStringLiteral("%1 %2")
                       .arg(r.modelCode)
                       .arg(r.modelName.isEmpty() ? QStringLiteral("(no model)") : r.modelName),
             r.firmware.isEmpty()        ? QStringLiteral("-")
             : r.firmwareAfter.isEmpty() ? r.firmware
                                         : r.firmware + QStringLiteral(" -> ") + r.firmwareAfter,
             r.outcome, QString::number(r.code), QStringLiteral("%1 s").arg(r.seconds, 0, 'f', 1)});
    std::vector<qsizetype> width(rows.front().size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    QString totals = QStringLiteral("%1 %2: %3 done, %4 failed")
                         .arg(static_cast<int>(runs.size()))
                         .arg(o.watch ? QStringLiteral("readers") : QStringLiteral("ports"))
                         .arg(done)
                         .arg(failures);
    QStringList why;
    for (const auto& [text, n] : failed) why << QStringLiteral("%1 %2").arg(n).arg(text);
    if (!why.isEmpty()) totals += QStringLiteral(" (") + why.join(QStringLiteral(", ")) + ')';
    out(QString());
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(width[i] + 2) : row[i];
        out(line);
    }
    out(totals);
    return code;
}

}  // namespace cli
