// boot and program: "Go to the BOOT", and a programming run from a firmware file.

#include <QElapsedTimer>
#include <QThread>
#include <span>

#include "firmware/image.h"
#include "shell/cli/bench.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

namespace {

// The reader needs a moment after "Go to the BOOT" before its boot loader listens.
constexpr int kBootStartMs = 500;

}  // namespace

int runBoot(Session& s) {
    return s.reader().enterBootLoader() == comlink::Reply::Accepted ? kOk : kFailed;
}

int prepareProgram(Session& s) {
    // Nothing goes on the line for an image that is not there. Every port sends the bytes read
    // once at the start.
    std::shared_ptr<const JobFile> f;
    if (const int e = useJobFile(s.options(), &f)) return e;
    s.image = f->image;
    return kOk;
}

int runProgram(Session& s) {
    const Options& o = s.options();
    const QByteArray& image = s.image;
    device::Reader& reader = s.reader();
    bool progPgm = false;
    if (!o.inBoot) {
        const device::ModelRow& m = s.config().row();
        progPgm = m.progPgm == device::ProgPgm::Checked;
        if (o.avtoSetFilter && m.layout == device::Layout::ShortBlock) {
            err(QStringLiteral(
                "--avto-set-filter: \"Avto set filter\" is not shown for this reader"));
            return kUsage;
        }
    }
    if (o.progPgm) progPgm = *o.progPgm;
    if (!o.inBoot && reader.enterBootLoader() != comlink::Reply::Accepted) return kFailed;
    const auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(image.constData()),
                                                static_cast<std::size_t>(image.size()));
    QElapsedTimer clock;
    clock.start();
    // The boot loader starts: a signal meanwhile still gets it its end frame.
    if (!o.inBoot) device::pause(kBootStartMs, [] { return stopSignal != 0; });
    // A boot loader that takes no packet (a NAK to each, no answer) would keep the run going
    // for ever: after the stall time it ends as "Stop" ends it.
    QElapsedTimer sinceAccepted;
    sinceAccepted.start();
    bool stalled = false;
    device::RunResult r;
    if (stopSignal) {
        r = reader.stopBeforeFirstPacket(image.size());
    } else {
        device::RunHooks hooks;
        hooks.stopRequested = [&] {
            if (stopSignal) return true;
            stalled = o.stallTimeoutS > 0 && sinceAccepted.elapsed() >= o.stallTimeoutS * 1000LL;
            return stalled;
        };
        hooks.accepted = [&] { sinceAccepted.restart(); };
        hooks.progress = [&](int percent) {
            const QString& line = s.lines().last();
            if (!line.startsWith(QStringLiteral("passed "))) return;
            progress(percent, image.size(), clock.elapsed(), line);
        };
        const bool avto = o.avtoSetFilter;
        hooks.filterRequestAfterRun = [avto] { return avto; };
        clock.restart();
        r = reader.program(bytes, progPgm, hooks);
    }
    progressDone();
    err(QStringLiteral("the run took %1 ms").arg(clock.elapsed()));
    // The outcome, the last line: delivered, or why not.
    const device::RunOutcome outcome = device::runOutcome(r);
    s.report.outcome = stalled ? QStringLiteral(
                                     "Stopped: the boot loader took no packet for %1 s "
                                     "(--stall-timeout); %2 of %3 bytes accepted")
                                     .arg(o.stallTimeoutS)
                                     .arg(r.bytesAccepted)
                                     .arg(r.imageBytes)
                               : outcome.text;
    // Without the end frame the boot loader keeps waiting for packets: the record says where the
    // reader is and how to finish it. A port that went away mid-run (a pulled adapter) failed
    // every packet after it: that, not the packets, is what the run came to.
    const QString finish =
        QStringLiteral("program it again with --in-boot %1")
            .arg(r.newType ? QStringLiteral("--prog-pgm") : QStringLiteral("--no-prog-pgm"));
    const bool lineLost = !reader.port() || !reader.port()->isOpen();
    if (!outcome.delivered && lineLost)
        s.report.outcome = QStringLiteral(
                               "Not delivered: the port went away during the run; %1 of %2 "
                               "bytes accepted; the reader may wait in its boot loader: %3")
                               .arg(r.bytesAccepted)
                               .arg(r.imageBytes)
                               .arg(finish);
    else if (r.end == device::RunEnd::StopScan)
        s.report.outcome += QStringLiteral("; the reader waits in its boot loader: ") + finish;
    s.report.bytesAccepted = r.bytesAccepted;
    s.report.imageBytes = r.imageBytes;
    err(s.report.outcome);
    // On a bench, and for a unit's record, the firmware the reader now runs: one version
    // request once its application has started.
    if (outcome.delivered && !stopSignal && (o.severalPorts() || !o.units.isEmpty())) {
        device::pause(kBootStartMs, [] { return stopSignal != 0; });
        if (!stopSignal) s.report.firmwareAfter = s.firmwareNow();
    }
    return outcome.delivered ? kOk : kFailed;
}

QString progressLine(bool terminal, int percent, qint64 imageBytes, qint64 elapsedMs,
                     const QString& logLine) {
    const qint64 done = imageBytes * percent / 100;
    const QString clock = QStringLiteral("%1:%2")
                              .arg(elapsedMs / 60000, 2, 10, QLatin1Char('0'))
                              .arg(elapsedMs / 1000 % 60, 2, 10, QLatin1Char('0'));
    if (!terminal)
        return QStringLiteral("%1: %2/%3 bytes, %4%, %5")
            .arg(logLine)
            .arg(done)
            .arg(imageBytes)
            .arg(percent)
            .arg(clock);
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    return QStringLiteral("[%1%2] %3%  %4  %5/%6 bytes  %7")
        .arg(QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char('.')))
        .arg(percent, 3)
        .arg(logLine, -28)
        .arg(done)
        .arg(imageBytes)
        .arg(clock);
}

}  // namespace cli
