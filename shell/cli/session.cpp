#include "shell/cli/session.h"
#include "shell/cli/support.h"

#include <QFileInfo>

#include "device/param_block.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/trace.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"

namespace cli {

QString inDoubleQuotes(const char* s) {
    return QLatin1Char('"') + QString::fromLatin1(s) + QLatin1Char('"');
}

namespace {

device::UnitSink printing(const Options& o, const bool& printsRead) {
    device::UnitSink sink;
    // read --json of one port prints its report alone; with several ports every line is an event.
    sink.log = [&o, &printsRead](const QString& line) {
        if ((!o.json || o.severalPorts()) && printsRead) out(line);
    };
    sink.say = [](const QString& text) { err(text); };
    sink.progress = [](int percent, qint64 imageBytes, qint64 elapsedMs, const QString& step) {
        progress(percent, imageBytes, elapsedMs, step);
    };
    sink.progressDone = [] { progressDone(); };
    sink.stopped = [] { return stopSignal != 0; };
    sink.settingsRead = [](const QString& port, const device::SettingsRecord& r) {
        noteSettingsRead(port, r);
    };
    return sink;
}

device::UnitHints hints() {
    device::UnitHints h;
    h.otherModel = QStringLiteral("(--allow-other-model applies what both share)");
    h.stall = QStringLiteral("(--stall-timeout)");
    h.finish = [](bool newType) {
        return QStringLiteral("program it again with --in-boot %1")
            .arg(newType ? QStringLiteral("--prog-pgm") : QStringLiteral("--no-prog-pgm"));
    };
    h.inBootLoader = [](const QString& port, bool newType) {
        return QStringLiteral(
                   "%1 answers as its boot loader, not as a reader: a run was cut short. Program "
                   "it with: torvik-cli --port %1 program --in-boot FILE %2")
            .arg(port, newType ? QStringLiteral("--prog-pgm")
                               : QStringLiteral("--prog-pgm for a new-type boot loader "
                                                "(models 10 to 16), --no-prog-pgm for an "
                                                "old-type one"));
    };
    return h;
}

}  // namespace

Session::Session(const Options& o)
    : device::UnitSession(o.port, printing(o, printsRead_), hints()), o_(o) {}

int Session::run(const CommandRow& c) {
    // A dry run prints what it would change, as diff does, without the read's lines.
    printsRead_ = c.printsRead && !o_.dryRun;
    const int code = [&] {
        // The files first: nothing goes on the line for a file that is not there or not whole.
        if (c.prepare)
            if (const int e = c.prepare(*this)) return e;
        if (const int e = openPort()) return e;
        const Before before = o_.inBoot ? Before::Nothing : c.before;
        if (before == Before::Nothing) return c.run(*this);
        readOk_ = readParam(true);
        if (!readOk_ && !stopSignal && config().bootLoader) return inBootLoader();
        if (before == Before::ReadParamOk && (!readOk_ || stopSignal)) return int(kFailed);
        if (c.sayBackup && !backupPath().isEmpty())
            err(QStringLiteral("the reader's settings were backed up to ") + backupPath());
        return c.run(*this);
    }();
    releasePort();  // released, with its lock, before the program ends
    if (stopSignal) return signalExit();
    if (code == kOk && outputFailed) return kOutputFailed;
    return code;
}

}  // namespace cli
