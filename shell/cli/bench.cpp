// Several ports at once: the bench of the reader layer runs them, a session each; here they are
// printed, each line with its port, and summed up at the end.

#include "shell/cli/bench.h"

#include <algorithm>

#include "device/bench.h"
#include "firmware/image.h"
#include "link/probe.h"
#include "shell/cli/board.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

JobFile readJobFile(const Options& o) {
    JobFile f;
    if (o.command == QLatin1String("program")) {
        const firmware::ImageLoad load = firmware::loadImage(o.file);
        if (!load.ok) {
            f.code = kUsage;
            f.error = QStringLiteral("Error: ") + load.error;
        }
        f.image = load.image;
        f.sha256 = load.sha256;
    } else if (o.command == QLatin1String("restore")) {
        f.settings = device::readSettingsFile(o.file, &f.error, &f.sha256);
        if (!f.settings) f.code = kUsage;
    }
    return f;
}

int useJobFile(const Options& o, std::shared_ptr<const JobFile>* f) {
    *f = o.jobFile ? o.jobFile : std::make_shared<const JobFile>(readJobFile(o));
    if ((*f)->code) err((*f)->error);
    return (*f)->code;
}

namespace {

// One port's run: a session of its own, its lines and progress to output where several ports
// run (one port prints as it goes).
device::UnitRun runSession(const Options& base, const CommandRow& c, const QString& port,
                           PortOutput* output) {
    Options o = base;
    o.port = port;
    setPortOutput(output);
    Session s(o);
    device::UnitRun r;
    r.code = s.run(c);
    setPortOutput(nullptr);

    device::fillRun(s, &r);
    return r;
}

// The printed lines of one port alone: as any command prints them.
class PrintOutput final : public PortOutput {
public:
    void line(bool error, const QString& text) override { error ? err(text) : out(text); }
    void progress(int percent, qint64 imageBytes, qint64 elapsedMs, const QString& step) override {
        cli::progress(percent, imageBytes, elapsedMs, step);
    }
};

int summarize(const Options& o, const std::vector<device::UnitRun>& runs, Board& board) {
    const device::BenchTotals t = device::totals(runs);
    // SIGINT is how --watch ends: its units say how it went.
    const bool interrupted = stopSignal && !(o.watch && stopSignal == SIGINT);
    int code = interrupted ? signalExit() : t.failed ? int(kSomeFailed) : int(kOk);
    // diff and restore --dry-run on several ports: 1 when a reader differs, as for one port,
    // where every port ran.
    const bool compares =
        o.command == QLatin1String("diff") || (o.command == QLatin1String("restore") && o.dryRun);
    if (!interrupted && compares &&
        std::all_of(runs.begin(), runs.end(),
                    [](const device::UnitRun& r) { return r.code == kOk || r.code == kFailed; }))
        code = t.failed ? int(kFailed) : int(kOk);
    if (o.json) {
        QJsonObject reasons;
        for (const auto& [why, n] : t.reasons) reasons[why] = n;
        board.emitSummary(QJsonObject{{"ports", t.units},
                                      {"done", t.done},
                                      {"failed", t.failed},
                                      {"reasons", reasons},
                                      {"exitCode", code}});
        return code;
    }
    std::vector<QStringList> rows{
        {"PORT", "DEVICE", "MODEL", "FIRMWARE", "OUTCOME", "CODE", "TIME"}};
    for (const device::UnitRun& r : runs)
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
                         .arg(t.units)
                         .arg(o.watch ? QStringLiteral("readers") : QStringLiteral("ports"))
                         .arg(t.done)
                         .arg(t.failed);
    QStringList why;
    for (const auto& [text, n] : t.reasons) why << QStringLiteral("%1 %2").arg(n).arg(text);
    if (!why.isEmpty()) totals += QStringLiteral(" (") + why.join(QStringLiteral(", ")) + ')';
    out(QString());
    // With no unit (--retry-failed found nothing to run) the totals alone.
    if (runs.empty()) rows.clear();
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(width[i] + 2) : row[i];
        out(line);
    }
    out(totals);
    return code;
}

}  // namespace

device::BenchJob benchJob(const Options& o, const CommandRow& c, bool severalPorts) {
    device::BenchJob job;
    job.command = o.recordedCommand();
    job.file = o.file;
    job.sha256 = o.jobFile ? o.jobFile->sha256 : QString();
    job.units = o.units;
    job.jobs = o.jobs;
    job.runOne = [&o, &c, severalPorts](const QString& port, device::UnitOutput& output) {
        return runSession(o, c, port, severalPorts ? &output : nullptr);
    };
    job.stopCode = [] { return stopSignal ? signalExit() : 0; };
    return job;
}

int runOnePort(const Options& o, const CommandRow& c) {
    const device::BenchJob job = benchJob(o, c, false);
    PrintOutput output;
    return device::runUnit(job, o.port, nullptr, &output).code;
}

int runSeveral(const Options& o, const CommandRow& c) {
    QStringList ports = o.ports;
    if (o.all)
        for (const comlink::ProbedPort& p : comlink::probePorts().ports)
            if (!ports.contains(p.name)) ports << p.name;
    Board board(o);
    const device::BenchJob job = benchJob(o, c, true);
    if (o.watch) {
        const std::vector<device::UnitRun> runs = device::watchBench(job, ports, board);
        board.finish();
        return summarize(o, runs, board);
    }
    if (o.retryFailed) {
        QStringList retry;
        QString error;
        if (!device::portsToRetry(o.units, o.recordedCommand(), ports, &retry, &error)) {
            err(QStringLiteral("--retry-failed: ") + error);
            return kUsage;
        }
        if (retry.isEmpty())
            err(QStringLiteral("--retry-failed: no port given has a failed record of %1 in %2; "
                               "nothing to run")
                    .arg(o.recordedCommand(), o.units));
        ports = retry;
    } else if (ports.isEmpty()) {
        err(QStringLiteral("--all: there is no port to run on (torvik-cli ports says why)"));
        return kUsage;
    }
    const std::vector<device::UnitRun> runs = device::runBench(job, ports, board);
    board.finish();
    return summarize(o, runs, board);
}

}  // namespace cli
