// A bench of readers: a thread a port, each running the job's command on its own port, so that
// one port's fault never stops, slows or changes another.

#include "device/bench.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QThread>
#include <atomic>
#include <memory>

#include "device/settings_file.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/probe.h"

namespace device {

namespace {

// Each exit code: a few words for the summary's rows and totals, and the manual's paragraph in
// roff (none for a code the paragraph before covers).
constexpr ExitRow kExitRows[] = {
    {kOk, "succeeded",
     "The operation's verdict was the good one: \\(lqOK\\(rq, \\(lqOK: Filter write.\\(rq (for\n"
     ".BR ports :\n"
     "a port was found).\n"
     "For\n"
     ".BR program :\n"
     "the firmware was delivered: old-type, every block accepted and the end frame confirmed;\n"
     "new-type, block 999 asked for after every block of the image; and the filter request after\n"
     "it accepted, where it was sent.\n"},
    {kFailed, "refused, no answer or not delivered",
     "The reader refused or did not answer, or the run failed; the last log line says which\n"
     "(for\n"
     ".BR ports :\n"
     "none was found).\n"},
    {kUsage, "not run: a usage error or no such port",
     "A usage error, a port that is not there, or a firmware file that cannot be read.\n"},
    {kPortUnusable, "the port cannot be opened",
     "The port cannot be opened or set up: in use (by the process that a lock file or the\n"
     "kernel's lock list names, or another program), no permission, not a serial device; a "
     "network\n"
     "server that cannot be reached, refuses, or serves another client.\n"},
    {kInBootLoader, "waits in its boot loader",
     "The reader answers as its boot loader: program it with\n"
     ".BR \"program \\-\\-in\\-boot\" .\n"},
    {kOutputFailed, "output not written",
     "Standard output could not be written (a closed pipe, a full disk); the operation ran to its\n"
     "end.\n"},
    {kSomeFailed, "some did not succeed",
     "Several ports: at least one did not succeed; each port's own code is in its row of the\n"
     "summary and its\n"
     ".B end\n"
     "event.\n"},
    {kStopped, "stopped",
     "The bench window's Stop ended the unit: a programming run sent its end frame.\n"},
    {kHangUp, "stopped by a signal",
     "Stopped by SIGHUP, SIGINT or SIGTERM: a programming run stops as with \\(lqStop\\(rq; any\n"
     "other operation ends when its exchange is over.\n"
     "A signal's code wins over any other.\n"},
    {kInterrupted, "stopped by a signal", nullptr},
    {kTerminated, "stopped by a signal", nullptr},
};

}  // namespace

std::span<const ExitRow> exitCodes() {
    return kExitRows;
}

QString exitReason(int code) {
    for (const ExitRow& r : kExitRows)
        if (r.code == code) return QString::fromLatin1(r.reason);
    return QStringLiteral("stopped by a signal");
}

QString manualExitStatus() {
    QString roff;
    for (std::size_t i = 0; i < std::size(kExitRows); ++i) {
        const ExitRow& r = kExitRows[i];
        if (!r.manual) continue;
        // A paragraph followed by rows without one names their codes too.
        QStringList codes{QString::number(r.code)};
        for (std::size_t k = i + 1; k < std::size(kExitRows) && !kExitRows[k].manual; ++k)
            codes << QString::number(kExitRows[k].code);
        roff += QStringLiteral(".TP\n");
        roff += codes.size() == 1 ? QStringLiteral(".B %1\n").arg(codes[0])
                                  : QStringLiteral(".BR ") +
                                        codes.join(QStringLiteral(" \", \" ")) + QLatin1Char('\n');
        roff += QString::fromUtf8(r.manual);
    }
    return roff;
}

QString portDevice(const QString& port) {
    const QString path = comlink::portPath(port);
    // A reader on the network is there as long as its URL is: whether it answers is the run's.
    if (comlink::looksLikeNetworkPort(path)) return path;
    return QFileInfo::exists(path) ? comlink::realDevicePath(path) : QString();
}

QJsonObject endEvent(const UnitRun& r, const QString& command) {
    QJsonObject end{
        {"outcome", r.outcome}, {"exitCode", r.code}, {"device", r.device}, {"seconds", r.seconds}};
    if (r.modelCode >= 0) {
        end["model"] = modelJson(r.modelCode, r.modelName);
        end["firmware"] = r.firmware;
        if (!r.firmwareAfter.isEmpty()) end["firmwareAfter"] = r.firmwareAfter;
    }
    if (r.bytesAccepted >= 0) {
        end["bytesAccepted"] = r.bytesAccepted;
        end["imageBytes"] = r.imageBytes;
    }
    if (!r.report.isEmpty()) end[command] = r.report;
    return end;
}

QJsonObject unitRecord(const BenchJob& job, const UnitRun& r) {
    auto orNull = [](const QString& s) { return s.isEmpty() ? QJsonValue() : QJsonValue(s); };
    const QString serial = r.device.isEmpty() ? QString() : comlink::adapterSerialNumber(r.device);
    QJsonObject record{
        {"time", isoTimeWithOffset(QDateTime::currentDateTime())},
        {"port", r.port},
        {"device", r.device},
        {"adapterSerial", orNull(serial)},
        {"model",
         r.modelCode >= 0 ? QJsonValue(modelJson(r.modelCode, r.modelName)) : QJsonValue()},
        {"firmwareBefore", orNull(r.firmware)},
        {"firmwareAfter", orNull(r.firmwareAfter)},
        {"command", job.command},
        {"file", orNull(job.file)},
        {"sha256", orNull(job.sha256)},
        {"outcome", r.outcome},
        {"exitCode", r.code},
        {"bytesAccepted", r.bytesAccepted >= 0 ? QJsonValue(r.bytesAccepted) : QJsonValue()},
        {"seconds", r.seconds},
        {"backup", orNull(r.backup)},
    };
    if (!job.settingsFile.isEmpty())
        record["settings"] =
            QJsonObject{{"file", job.settingsFile}, {"sha256", orNull(job.settingsSha256)}};
    return record;
}

namespace {

// A port's lines and progress, handed to the listener with the port's name.
class EventOutput final : public UnitOutput {
public:
    EventOutput(BenchEvents& events, const QString& port) : events_(events), port_(port) {}
    void line(bool error, const QString& text) override { events_.line(port_, error, text); }
    void progress(int percent, qint64 imageBytes, qint64 elapsedMs, const QString& step) override {
        events_.progress(port_, percent, imageBytes, elapsedMs, step);
    }
    void identified(int modelCode, const QString& modelName, const QString& firmware) override {
        events_.identified(port_, modelCode, modelName, firmware);
    }

private:
    BenchEvents& events_;
    const QString& port_;
};

}  // namespace

UnitRun runUnit(const BenchJob& job, const QString& port, BenchEvents* events, UnitOutput* output) {
    const QString device = portDevice(port);
    std::unique_ptr<EventOutput> toEvents;
    if (events) {
        toEvents = std::make_unique<EventOutput>(*events, port);
        output = toEvents.get();
        events->started(port, device, job.command);
    }
    QElapsedTimer clock;
    clock.start();
    UnitRun r = job.runOne(port, *output);
    r.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    r.port = port;
    r.device = device;
    const bool ownWords = !r.outcome.isEmpty();
    if (!ownWords) r.outcome = exitReason(r.code);

    if (!job.units.isEmpty()) {
        // The unit's record, on the disk before the unit is said done; a unit whose record could
        // not be kept is not said to have succeeded.
        QString error;
        if (!appendRecordLine(
                job.units, QJsonDocument(unitRecord(job, r)).toJson(QJsonDocument::Compact) + '\n',
                &error)) {
            output->line(true, QStringLiteral("the unit's record was not written: ") + error);
            if (r.code == kOk) {
                r.code = kOutputFailed;
                if (!ownWords) r.outcome = exitReason(r.code);
            }
        }
    }
    if (events) events->ended(port, r);
    return r;
}

std::vector<UnitRun> runBench(const BenchJob& job, const QStringList& ports, BenchEvents& events) {
    // Each thread reads its ports from copies made before any starts.
    const std::vector<QString> names(ports.begin(), ports.end());
    const std::size_t n = names.size();
    std::vector<UnitRun> runs(n);
    std::atomic<std::size_t> next{0};
    const std::size_t workers = job.jobs > 0 ? std::min(n, static_cast<std::size_t>(job.jobs)) : n;
    auto work = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= n) return;
            // A unit that waited for its turn is not started once a stop came: nothing is sent
            // to it, and it is no unit done.
            const int stopped = i >= workers && job.stopCode ? job.stopCode() : 0;
            if (stopped) {
                UnitRun& r = runs[i];
                r.port = names[i];
                r.device = portDevice(names[i]);
                r.code = stopped;
                r.outcome = QStringLiteral("not started: the bench was stopped before its turn");
                continue;
            }
            runs[i] = runUnit(job, names[i], &events);
        }
    };
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t w = 0; w < workers; ++w) {
        // A QThread: the serial port wants an event dispatcher in the thread that opens it.
        threads.emplace_back(QThread::create(work));
        threads.back()->start();
    }
    for (auto& t : threads) t->wait();
    return runs;
}

BenchTotals totals(const std::vector<UnitRun>& runs) {
    BenchTotals t;
    t.units = static_cast<int>(runs.size());
    for (const UnitRun& r : runs) {
        if (r.code == kOk)
            ++t.done;
        else
            ++t.reasons[exitReason(r.code)];
    }
    t.failed = t.units - t.done;
    return t;
}

bool portsToRetry(const QString& unitsFile, const QString& command, const QStringList& ports,
                  QStringList* retry, QString* error) {
    QFile f(unitsFile);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(unitsFile, f.errorString());
        return false;
    }
    // The last record of the command for each port decides; a line that is no record (a line
    // cut short by a crash) is passed over.
    std::map<QString, int> last;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record.value("command").toString() != command || !record.value("exitCode").isDouble())
            continue;
        last[record.value("port").toString()] = record.value("exitCode").toInt();
    }
    retry->clear();
    for (const QString& port : ports) {
        const auto it = last.find(port);
        if (it != last.end() && it->second != kOk) *retry << port;
    }
    return true;
}

}  // namespace device
