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
#include "shell/cli/board.h"
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

}  // namespace

QString portDevice(const QString& port) {
    const QString path = comlink::portPath(port);
    return QFileInfo::exists(path) ? comlink::realDevicePath(path) : QString();
}

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
    r.device = portDevice(port);
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
        r.firmware = config.who.firmware();
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
            {"time", device::isoTimeWithOffset(QDateTime::currentDateTime())},
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
        // A QThread: the serial port wants an event dispatcher in the thread that opens it. Each
        // thread gets its own copy of its port's name: a shared list touched from several threads
        // would detach under them.
        threads.emplace_back(QThread::create([&, i, port = ports.at(i)] {
            runs[static_cast<std::size_t>(i)] = runPort(o, c, port, &board, facts);
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
