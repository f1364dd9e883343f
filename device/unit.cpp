// One reader on one port: the work each front does on a port, with its words.

#include "device/unit.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <span>

#include "device/bench.h"
#include "device/param_block.h"
#include "firmware/image.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"

namespace device {

namespace {

// The reader needs a moment after "Go to the BOOT" before its boot loader listens.
constexpr int kBootStartMs = 500;

}  // namespace

UnitSession::UnitSession(const QString& port, UnitSink sink, UnitHints hints)
    : port_(port),
      sink_(std::move(sink)),
      hints_(std::move(hints)),
      reader_([this](const QString& line) { log(line); },
              [this](const QString& caption, const QString& text, const QString& informative) {
                  QString line = caption + QStringLiteral(": ") + text;
                  if (!informative.isEmpty()) line += QStringLiteral(" (") + informative + ')';
                  say(line);
              }) {}

UnitSession::~UnitSession() = default;

void UnitSession::log(const QString& line) {
    lines_ << line;
    if (!quiet_ && sink_.log) sink_.log(line);
}

void UnitSession::releasePort() {
    reader_.setPort(nullptr);
    line_.reset();
}

int UnitSession::openPort() {
    // A device path and a URL are taken as typed; a name COMn as the window reaches it.
    const QString device = comlink::portPath(port_);
    const bool network = comlink::looksLikeNetworkPort(device);
    if (device.isEmpty() || (network && !comlink::parseNetworkPort(device))) {
        say(QStringLiteral("--port takes a name COM1 to COM128, a device path, "
                           "rfc2217://HOST:PORT or socket://HOST:PORT, not \"%1\"")
                .arg(port_));
        return kUsage;
    }
    if (!network && !QFileInfo::exists(device)) {
        say(QStringLiteral("there is no port %1 here (torvik-cli ports lists them)").arg(port_));
        return kUsage;
    }
    line_ = comlink::traced(comlink::makeSerialPortFor(device), port_);
    if (!line_->open(device)) {
        // The network port's words say what went wrong with the server, whatever it was.
        switch (network ? comlink::OpenFailure::None : line_->openFailure()) {
            case comlink::OpenFailure::Held: {
                const qint64 pid = comlink::holderPid(comlink::realDevicePath(device));
                say(QStringLiteral("%1 is in use by %2 (%3)")
                        .arg(port_,
                             pid ? QStringLiteral("process %1").arg(pid)
                                 : QStringLiteral("another program"),
                             line_->errorString()));
                break;
            }
            case comlink::OpenFailure::Terminal:
                say(QStringLiteral("%1 is a terminal in use by a running program: %2")
                        .arg(port_, line_->errorString()));
                break;
            case comlink::OpenFailure::Permission:
                say(QStringLiteral("%1: you may not use this device (%2)")
                        .arg(port_, line_->errorString()));
                break;
            case comlink::OpenFailure::None:
                say(QStringLiteral("%1: %2").arg(port_, line_->errorString()));
                break;
            default:
                say(QStringLiteral("%1 cannot be opened as a serial port (%2)")
                        .arg(port_, line_->errorString()));
                break;
        }
        line_.reset();
        return kPortUnusable;
    }
    if (!configureReaderLine(*line_)) {
        say(QStringLiteral("%1 busy or incorrect settings (%2)").arg(port_, line_->errorString()));
        line_.reset();
        return kPortUnusable;
    }
    reader_.setPort(line_.get());
    if (!network) adapterSerial_ = comlink::adapterSerialNumber(comlink::realDevicePath(device));
    return kOk;
}

bool UnitSession::readParam(bool backUp) {
    ReadOptions ro;
    ro.stop = [this] { return stopped(); };
    ro.adapterSerial = adapterSerial_;
    if (backUp) {
        ro.backups = &backups_;
        ro.port = port_;
        ro.backedUp = [this](const QString& path, const QString& error) {
            backupPath_ = path;
            backupError_ = error;
        };
    }
    config_ = readConfiguration(reader_, ro);
    if (config_.paramsRead() && sink_.settingsRead) sink_.settingsRead(port_, config_.record());
    if (backUp) {
        backups_.waitUntilWritten();
        if (!backupError_.isEmpty())
            say(QStringLiteral("the settings read could not be backed up: ") + backupError_);
    }
    return config_.complete();
}

int UnitSession::inBootLoader() {
    // Stranded by a cut run: the version request went to the boot loader.
    say(hints_.inBootLoader ? hints_.inBootLoader(port_, config_.bootLoader->newType)
                            : QStringLiteral("%1 answers as its boot loader, not as a reader: a "
                                             "run was cut short")
                                  .arg(port_));
    return kInBootLoader;
}

QString UnitSession::firmwareNow() {
    quiet_ = true;
    const Identity who = reader_.identify();
    quiet_ = false;
    if (who.reply != comlink::Reply::Accepted) return {};
    return who.firmware();
}

int UnitSession::writeParams() {
    if (!config_.row().named || !config_.paramsRead()) {
        say(QStringLiteral("\"Write param\" is not enabled for this reader"));
        return kFailed;
    }
    return reader_.writeParams(config_.device(), config_.sentSettings(), config_.openTimeUnits()) ==
                   comlink::Reply::Accepted
               ? kOk
               : kFailed;
}

int UnitSession::readBack(const Configuration* wrote, const filters::BoxStates* wroteFilters) {
    quiet_ = true;
    const bool read = readParam(false);
    quiet_ = false;
    if (!read) {
        say(
            QStringLiteral("the read-back after the write failed: what the reader took is not "
                           "known"));
        return kFailed;
    }
    QStringList differ;
    auto compare = [&](const char* name, int written, int now) {
        if (written != now)
            differ << QStringLiteral("%1 (written %2, reads %3)")
                          .arg(QLatin1String(name))
                          .arg(written)
                          .arg(now);
    };
    const ModelRow& m = config_.row();
    if (wrote && config_.paramsRead()) {
        // What the reader holds if it took the write (the pulse box and the second list share a
        // bit), against what it reads now; fields the model's write does not carry are not
        // compared.
        const OutputSettings expect = decodeParamBlock(wrote->blockAfterWrite().data()).settings;
        const OutputSettings& now = config_.params->decoded.settings;
        for (const SettingRow& r : kSettings)
            if (r.carriedBy(m)) compare(r.key, r.value(expect), r.value(now));
    }
    if (wroteFilters && config_.filters && config_.filters->signatureValid)
        for (int i = 0; i < filters::kBoxCount; ++i)
            compare(kFilterKeys[i].name, (*wroteFilters)[i], config_.filters->choice[i]);
    if (differ.isEmpty()) return kOk;
    say(QStringLiteral("the reader did not take: ") + differ.join(QStringLiteral(", ")));
    return kFailed;
}

int UnitSession::restore(const SettingsRecord& f, const QString& file, bool allowOtherModel) {
    RestoreChoice choice;
    choice.allowOtherModel = allowOtherModel;
    return restore(f, file, choice);
}

int UnitSession::restore(const SettingsRecord& f, const QString& file, const RestoreChoice& o) {
    Configuration& c = config_;
    const Fit fit = device::fit(c, f, o.allowOtherModel, o.take);
    auto modelText = [](int code, const QString& name) {
        return name.isEmpty() ? QStringLiteral("model %1").arg(code)
                              : QStringLiteral("model %1 (%2)").arg(code).arg(name);
    };
    if (fit.modelRefused) {
        QString text = QStringLiteral(
                           "%1 holds the settings of a %2, and this reader is a %3: "
                           "nothing written")
                           .arg(file, modelText(f.modelCode, f.modelName),
                                modelText(c.who.version[3], modelName(c.who.version[3])));
        if (!hints_.otherModel.isEmpty()) text += QLatin1Char(' ') + hints_.otherModel;
        say(text);
        report.outcome = QStringLiteral("refused: the file is for a %1")
                             .arg(modelText(f.modelCode, f.modelName));
        return kUsage;
    }
    if (!c.paramsRead()) {
        say(
            QStringLiteral("this reader is configured by filter codes and has no parameter "
                           "block: nothing to restore"));
        return kUsage;
    }
    if (o.dryRun) o.dryRun(fit);
    if (!fit.refused.isEmpty()) {
        say(QStringLiteral("%1: this reader cannot take %2: nothing written")
                .arg(file, fit.refused.join(QStringLiteral(", "))));
        if (o.dryRun) report.outcome = QStringLiteral("would be refused");
        return kUsage;
    }
    if (o.dryRun) {
        const int n = fit.changes();
        report.outcome = n ? QStringLiteral("%1 setting(s) would change").arg(n)
                           : QStringLiteral("no differences");
        return n ? kFailed : kOk;
    }
    if (!fit.skipped.isEmpty())
        say(QStringLiteral("not applied (this model cannot take them): ") +
            fit.skipped.join(QStringLiteral(", ")));
    if (!fit.beyondList.isEmpty())
        say(QStringLiteral("applied as a reader of this model and firmware keeps them, beyond the "
                           "configurator's lists: ") +
            fit.beyondList.join(QStringLiteral(", ")));
    if (!fit.record.isEmpty())
        say(QStringLiteral("not writable on this reader, kept in the file as a record: ") +
            fit.record.join(QStringLiteral(", ")));

    c.settings = fit.settings;
    const Configuration wrote = c;
    if (const int e = writeParams()) return e;
    if (fit.filters &&
        reader_.setFilters(c.device(), *fit.filters, false, true) != FilterWriteVerdict::Accepted)
        return kFailed;
    return readBack(&wrote, fit.filters ? &*fit.filters : nullptr);
}

int UnitSession::program(const QByteArray& image, const ProgramChoice& o) {
    bool progPgm = false;
    if (!o.inBoot) {
        const ModelRow& m = config_.row();
        progPgm = m.progPgm == ProgPgm::Checked;
        if (o.avtoSetFilter && m.layout == Layout::ShortBlock) {
            say(QStringLiteral(
                "--avto-set-filter: \"Avto set filter\" is not shown for this reader"));
            return kUsage;
        }
    }
    if (o.progPgm) progPgm = *o.progPgm;
    if (!o.inBoot && reader_.enterBootLoader() != comlink::Reply::Accepted) return kFailed;
    const auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(image.constData()),
                                                static_cast<std::size_t>(image.size()));
    auto stop = [this] { return stopped(); };
    QElapsedTimer clock;
    clock.start();
    // The boot loader starts: a stop meanwhile still gets it its end frame.
    if (!o.inBoot) pause(kBootStartMs, stop);
    // A boot loader that takes no packet (a NAK to each, no answer) would keep the run going
    // for ever: after the stall time it ends as "Stop" ends it.
    QElapsedTimer sinceAccepted;
    sinceAccepted.start();
    bool stalled = false;
    RunResult r;
    if (stopped()) {
        r = reader_.stopBeforeFirstPacket(image.size());
    } else {
        RunHooks hooks;
        hooks.stopRequested = [&] {
            if (stopped()) return true;
            stalled = o.stallTimeoutS > 0 && sinceAccepted.elapsed() >= o.stallTimeoutS * 1000LL;
            return stalled;
        };
        hooks.accepted = [&] { sinceAccepted.restart(); };
        hooks.progress = [&](int percent) {
            const QString& line = lines_.last();
            if (!line.startsWith(QStringLiteral("passed "))) return;
            if (sink_.progress) sink_.progress(percent, image.size(), clock.elapsed(), line);
        };
        const bool avto = o.avtoSetFilter;
        hooks.filterRequestAfterRun = [avto] { return avto; };
        clock.restart();
        r = reader_.program(bytes, progPgm, hooks);
    }
    if (sink_.progressDone) sink_.progressDone();
    say(QStringLiteral("the run took %1 ms").arg(clock.elapsed()));
    // The outcome, the last line: delivered, or why not.
    const RunOutcome outcome = runOutcome(r);
    report.outcome =
        stalled ? QStringLiteral(
                      "Stopped: the boot loader took no packet for %1 s"
                      "%2; %3 of %4 bytes accepted")
                      .arg(o.stallTimeoutS)
                      .arg(hints_.stall.isEmpty() ? QString() : QLatin1Char(' ') + hints_.stall)
                      .arg(r.bytesAccepted)
                      .arg(r.imageBytes)
                : outcome.text;
    // Without the end frame the boot loader keeps waiting for packets: the record says where the
    // reader is and how to finish it. A port that went away mid-run (a pulled adapter) failed
    // every packet after it: that, not the packets, is what the run came to.
    const QString finish = hints_.finish ? hints_.finish(r.newType)
                                         : QStringLiteral("program it again in its boot loader");
    const bool lineLost = !reader_.port() || !reader_.port()->isOpen();
    if (!outcome.delivered && lineLost)
        report.outcome = QStringLiteral(
                             "Not delivered: the port went away during the run; %1 of %2 "
                             "bytes accepted; the reader may wait in its boot loader: %3")
                             .arg(r.bytesAccepted)
                             .arg(r.imageBytes)
                             .arg(finish);
    else if (r.end == RunEnd::StopScan)
        report.outcome += QStringLiteral("; the reader waits in its boot loader: ") + finish;
    report.bytesAccepted = r.bytesAccepted;
    report.imageBytes = r.imageBytes;
    say(report.outcome);
    // The firmware the reader now runs: one version request once its application has started.
    if (outcome.delivered && !stopped() && o.firmwareAfter) {
        pause(kBootStartMs, stop);
        if (!stopped()) report.firmwareAfter = firmwareNow();
    }
    return outcome.delivered ? kOk : kFailed;
}

void fillRun(const UnitSession& s, UnitRun* r) {
    const Configuration& config = s.config();
    if (config.who.reply == comlink::Reply::Accepted) {
        r->modelCode = config.who.version[3];
        r->modelName = modelName(config.who.version[3]);
        r->firmware = config.who.firmware();
    }
    if (!s.report.outcome.isEmpty() && r->outcome.isEmpty()) r->outcome = s.report.outcome;
    r->bytesAccepted = s.report.bytesAccepted;
    r->imageBytes = s.report.imageBytes;
    r->backup = s.backupPath();
    r->firmwareAfter = s.report.firmwareAfter;
    r->report = s.report.read;
}

QString jobCommand(UnitJob job) {
    switch (job) {
        case UnitJob::Backup:
            return QStringLiteral("backup");
        case UnitJob::Restore:
            return QStringLiteral("restore");
        case UnitJob::Program:
            return QStringLiteral("program");
        case UnitJob::RestoreProgram:
            break;
    }
    return QStringLiteral("restore+program");
}

bool readJobFiles(UnitJob job, const QString& settingsPath, const QString& imagePath, JobFiles* f,
                  QString* error) {
    *f = JobFiles{};
    if (job == UnitJob::Restore || job == UnitJob::RestoreProgram) {
        f->settingsPath = settingsPath;
        f->settings = readSettingsFile(settingsPath, error, &f->settingsSha256);
        if (!f->settings) return false;
    }
    if (job == UnitJob::Program || job == UnitJob::RestoreProgram) {
        const firmware::ImageLoad load = firmware::loadImage(imagePath);
        if (!load.ok) {
            *error = load.error;
            return false;
        }
        f->imagePath = imagePath;
        f->image = load.image;
        f->imageSha256 = load.sha256;
    }
    return true;
}

UnitRun runJob(UnitJob job, const JobFiles& files, const QString& port, UnitOutput& output,
               const std::function<bool()>& stopped, const UnitHints& hints, int stallTimeoutS) {
    UnitSink sink;
    sink.log = [&output](const QString& line) { output.line(false, line); };
    sink.say = [&output](const QString& text) { output.line(true, text); };
    sink.progress = [&output](int percent, qint64 imageBytes, qint64 elapsedMs,
                              const QString& step) {
        output.progress(percent, imageBytes, elapsedMs, step);
    };
    sink.stopped = stopped;
    UnitSession s(port, sink, hints);
    UnitRun r;
    r.code = [&] {
        if (const int e = s.openPort()) return e;
        const bool read = s.readParam(true);
        UnitRun who;
        fillRun(s, &who);
        if (who.modelCode >= 0) output.identified(who.modelCode, who.modelName, who.firmware);
        if (!read && !s.stopped() && s.config().bootLoader) return s.inBootLoader();
        if (!read || s.stopped()) return int(kFailed);
        if (!s.backupError().isEmpty()) {
            // A unit whose settings were not kept is not backed up, whatever else it does.
            s.report.outcome = QStringLiteral("read, but not backed up: ") + s.backupError();
            return int(kOutputFailed);
        }
        if (job == UnitJob::Backup) return int(kOk);
        if (job != UnitJob::Program)
            if (const int e = s.restore(*files.settings, files.settingsPath, false)) return e;
        if (job == UnitJob::Restore) return int(kOk);
        if (s.stopped()) return int(kFailed);
        ProgramChoice choice;
        choice.firmwareAfter = true;
        choice.stallTimeoutS = stallTimeoutS;
        return s.program(files.image, choice);
    }();
    s.releasePort();
    fillRun(s, &r);
    if (r.code != kOk && s.stopped()) r.code = kStopped;
    return r;
}

}  // namespace device
