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

QString quoted(const char* s) {
    return QLatin1Char('"') + QString::fromLatin1(s) + QLatin1Char('"');
}

Session::Session(const Options& o)
    : o_(o),
      reader_([this](const QString& line) { log(line); },
              [](const QString& caption, const QString& text, const QString& informative) {
                  QString line = caption + QStringLiteral(": ") + text;
                  if (!informative.isEmpty()) line += QStringLiteral(" (") + informative + ')';
                  err(line);
              }) {}

void Session::log(const QString& line) {
    lines_ << line;
    // read --json of one port prints its report alone; with several ports every line is an event.
    if ((!o_.json || o_.severalPorts()) && !quiet_ && printsRead_) out(line);
}

int Session::run(const CommandSpec& c) {
    printsRead_ = c.printsRead;
    const int code = [&] {
        // The files first: nothing goes on the line for a file that is not there or not whole.
        if (c.prepare)
            if (const int e = c.prepare(*this)) return e;
        if (const int e = openPort()) return e;
        const Before before = o_.inBoot ? Before::Nothing : c.before;
        if (before == Before::Nothing) return c.run(*this);
        readOk_ = readParam(true);
        if (!readOk_ && !stopSignal && config_.bootLoader) {
            // Stranded by a cut run: the version request went to the boot loader.
            err(QStringLiteral("%1 answers as its boot loader, not as a reader: a run was cut "
                               "short. Program it with: torvik-cli --port %1 program --in-boot "
                               "FILE %2")
                    .arg(o_.port, config_.bootLoader->newType
                                      ? QStringLiteral("--prog-pgm")
                                      : QStringLiteral("--prog-pgm for a new-type boot loader "
                                                       "(models 10 to 16), --no-prog-pgm for an "
                                                       "old-type one")));
            return int(kInBootLoader);
        }
        if (before == Before::ReadParamOk && (!readOk_ || stopSignal)) return int(kFailed);
        if (c.sayBackup && !backupPath_.isEmpty())
            err(QStringLiteral("the reader's settings were backed up to ") + backupPath_);
        return c.run(*this);
    }();
    port_.reset();  // released, with its lock, before the program ends
    if (stopSignal) return signalExit();
    if (code == kOk && outputFailed) return kOutputFailed;
    return code;
}

int Session::openPort() {
    // A device path and a URL are taken as typed; a name COMn as the window reaches it.
    const QString device = comlink::portPath(o_.port);
    const bool network = comlink::looksLikeNetworkPort(device);
    if (device.isEmpty() || (network && !comlink::parseNetworkPort(device))) {
        err(QStringLiteral("--port takes a name COM1 to COM128, a device path, "
                           "rfc2217://HOST:PORT or socket://HOST:PORT, not \"%1\"")
                .arg(o_.port));
        return kUsage;
    }
    if (!network && !QFileInfo::exists(device)) {
        err(QStringLiteral("there is no port %1 here (torvik-cli ports lists them)").arg(o_.port));
        return kUsage;
    }
    port_ = comlink::traced(comlink::makeSerialPortFor(device), o_.port);
    if (!port_->open(device)) {
        // The network port's words say what went wrong with the server, whatever it was.
        switch (network ? comlink::OpenFailure::None : port_->openFailure()) {
            case comlink::OpenFailure::Held: {
                const qint64 pid = comlink::holderPid(comlink::realDevicePath(device));
                err(QStringLiteral("%1 is in use by %2 (%3)")
                        .arg(o_.port,
                             pid ? QStringLiteral("process %1").arg(pid)
                                 : QStringLiteral("another program"),
                             port_->errorString()));
                break;
            }
            case comlink::OpenFailure::Terminal:
                err(QStringLiteral("%1 is a terminal in use by a running program: %2")
                        .arg(o_.port, port_->errorString()));
                break;
            case comlink::OpenFailure::Permission:
                err(QStringLiteral("%1: you may not use this device (%2)")
                        .arg(o_.port, port_->errorString()));
                break;
            case comlink::OpenFailure::None:
                err(QStringLiteral("%1: %2").arg(o_.port, port_->errorString()));
                break;
            default:
                err(QStringLiteral("%1 cannot be opened as a serial port (%2)")
                        .arg(o_.port, port_->errorString()));
                break;
        }
        port_.reset();
        return kPortUnusable;
    }
    if (!device::configureReaderLine(*port_)) {
        err(QStringLiteral("%1 busy or incorrect settings (%2)")
                .arg(o_.port, port_->errorString()));
        port_.reset();
        return kPortUnusable;
    }
    reader_.setPort(port_.get());
    return kOk;
}

// "Read param" as the window runs it; true when each step that it takes for this model went
// through. Every read that brought a parameter block is kept under the backups folder.
bool Session::readParam(bool backUp) {
    device::ReadOptions ro;
    ro.stop = [] { return stopSignal != 0; };
    if (backUp) {
        ro.backups = &backups_;
        ro.port = o_.port;
        ro.backedUp = [this](const QString& path, const QString& error) {
            backupPath_ = path;
            backupError_ = error;
        };
    }
    config_ = device::readConfiguration(reader_, ro);
    if (config_.paramsRead()) noteSettingsRead(o_.port, config_.record());
    if (backUp) {
        backups_.waitUntilWritten();
        if (!backupError_.isEmpty())
            err(QStringLiteral("the settings read could not be backed up: ") + backupError_);
    }
    return config_.complete();
}

QString Session::firmwareNow() {
    quiet_ = true;
    const device::Identity who = reader_.identify();
    quiet_ = false;
    if (who.reply != comlink::Reply::Accepted) return {};
    return who.firmware();
}

int Session::writeParams() {
    if (!config_.row().named || !config_.paramsRead()) {
        err(QStringLiteral("\"Write param\" is not enabled for this reader"));
        return kFailed;
    }
    return reader_.writeParams(config_.device(), config_.heldChoices(), config_.openTimeUnits()) ==
                   comlink::Reply::Accepted
               ? kOk
               : kFailed;
}

int Session::readBack(const device::Configuration* wrote,
                      const device::FilterChoice* wroteFilters) {
    quiet_ = true;
    const bool read = readParam(false);
    quiet_ = false;
    if (!read) {
        err(
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
    const device::ModelRow& m = config_.row();
    if (wrote && config_.paramsRead()) {
        // What the reader holds if it took the write (the pulse box and the second list share a
        // bit), against what it reads now; fields the model's write does not carry are not
        // compared.
        const device::OutputSettings expect =
            device::decodeParamBlock(wrote->blockAfterWrite().data()).settings;
        const device::OutputSettings& now = config_.params->decoded.settings;
        compare("protocol", expect.protocol, now.protocol);
        compare("protocol2", expect.protocol2, now.protocol2);
        if (m.fullBits) compare("typecode", expect.typecode, now.typecode);
        const auto written = device::writtenOptions(m);
        for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i)
            if (written[i])
                compare(device::kOptionKeys[i].name, expect.*device::kOptionKeys[i].member,
                        now.*device::kOptionKeys[i].member);
        if (m.longWrite) compare("openTimeMs", expect.openTimeMs, now.openTimeMs);
    }
    if (wroteFilters && config_.filters && config_.filters->signatureValid)
        for (int i = 0; i < filters::kBoxCount; ++i)
            compare(device::kFilterKeys[i].name, (*wroteFilters)[i], config_.filters->choice[i]);
    if (differ.isEmpty()) return kOk;
    err(QStringLiteral("the reader did not take: ") + differ.join(QStringLiteral(", ")));
    return kFailed;
}

}  // namespace cli
