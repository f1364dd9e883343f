#include "shell/cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

#include "device/model_table.h"
#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "device/reader.h"
#include "device/settings.h"
#include "device/settings_file.h"
#include "firmware/image.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"

namespace cli {

namespace {

const QStringList kCommands{"ports", "read",    "write",  "factory-settings", "set-filter",
                            "boot",  "program", "backup", "restore"};

// The reader needs a moment after "Go to the BOOT" before its boot loader listens.
constexpr int kBootStartMs = 500;

// Standard output that could not be written (a closed pipe, a full disk) ends the output only:
// the operation goes on to its end, and the exit code says so.
bool outputFailed = false;

void print(std::FILE* to, const QString& text) {
    if (to == stdout && outputFailed) return;
    const QByteArray bytes = text.toUtf8();
    const std::size_t n = static_cast<std::size_t>(bytes.size());
    const bool ok = std::fwrite(bytes.constData(), 1, n, to) == n && std::fflush(to) == 0;
    if (!ok && to == stdout) outputFailed = true;
}
void out(const QString& line) {
    print(stdout, line + QLatin1Char('\n'));
}
void err(const QString& line) {
    print(stderr, QStringLiteral("torvik-cli: ") + line + QLatin1Char('\n'));
}

bool stderrIsTerminal() {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// The first of SIGINT, SIGTERM and SIGHUP: a run stops as with "Stop" (the end frame is sent),
// any other operation once its exchange is over. A second signal changes nothing.
volatile std::sig_atomic_t stopSignal = 0;
extern "C" void onStopSignal(int sig) {
    if (!stopSignal) stopSignal = sig;
}

void setUpSignals() {
    stopSignal = 0;
#ifdef Q_OS_UNIX
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
#else
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
}

int signalExit() {
    switch (stopSignal) {
        case SIGINT:
            return kInterrupted;
        case SIGTERM:
            return kTerminated;
#ifdef SIGHUP
        case SIGHUP:
            return kHangUp;
#endif
        default:
            return 128 + stopSignal;
    }
}

// Which options each command takes, beyond --port.
bool takes(const QString& command, const QString& option) {
    static const QStringList writeOptions{"protocol", "type-code", "protocol2", "set", "open-time"};
    if (option == "json") return command == "read";
    if (option == "allow-other-model") return command == "restore";
    if (writeOptions.contains(option))
        return command == "write" || (option == "set" && command == "set-filter");
    if (option == "prog-pgm" || option == "no-prog-pgm" || option == "avto-set-filter" ||
        option == "in-boot" || option == "stall-timeout")
        return command == "program";
    return false;
}

QString quoted(const char* s) {
    return QLatin1Char('"') + QString::fromLatin1(s) + QLatin1Char('"');
}

// A key as a script writes it: the control's name, or its caption where no other box has it.
// -1 when none matches.
template <std::size_t N, typename Key>
int keyIndex(const std::array<Key, N>& keys, const QString& key) {
    for (std::size_t i = 0; i < N; ++i)
        if (key == QLatin1String(keys[i].name)) return static_cast<int>(i);
    int found = -1;
    for (std::size_t i = 0; i < N; ++i) {
        if (key != QLatin1String(keys[i].caption)) continue;
        if (found >= 0) return -1;
        found = static_cast<int>(i);
    }
    return found;
}

class Session {
public:
    explicit Session(const Options& o)
        : o_(o),
          reader_([this](const QString& line) { log(line); },
                  [](const QString& caption, const QString& text, const QString& informative) {
                      QString line = caption + QStringLiteral(": ") + text;
                      if (!informative.isEmpty()) line += QStringLiteral(" (") + informative + ')';
                      err(line);
                  }) {}

    int run() {
        const int code = runCommand();
        port_.reset();  // released, with its lock, before the program ends
        if (stopSignal) return signalExit();
        if (code == kOk && outputFailed) return kOutputFailed;
        return code;
    }

private:
    // A line of the window's log: the layer's, and the few the window writes itself. The
    // read-back after a write is no operation of the window's and prints nothing.
    void log(const QString& line) {
        lines_ << line;
        if (!o_.json && !quiet_) out(line);
    }

    int runCommand() {
        // The file first: nothing goes on the line for an image that is not there.
        if (o_.command == "program") {
            const firmware::ImageLoad load = firmware::loadImage(o_.file);
            if (!load.ok) {
                err(QStringLiteral("Error: ") + load.error);
                return kUsage;
            }
            image_ = load.image;
        }
        // The settings file too: nothing is written from a file that was not read whole.
        if (o_.command == "restore") {
            QString error;
            file_ = device::readSettingsFile(o_.file, &error);
            if (!file_) {
                err(error);
                return kUsage;
            }
        }
        if (const int e = openPort()) return e;
        if (o_.command == "boot")
            return reader_.enterBootLoader() == comlink::Reply::Accepted ? kOk : kFailed;
        if (o_.inBoot) return program();
        const bool read = readParam();
        if (read) backUp();
        if (!read && !stopSignal && who_.reply != comlink::Reply::Accepted) {
            if (const auto boot = reader_.bootLoaderAnswer()) {
                // Stranded by a cut run: the version request went to the boot loader.
                err(QStringLiteral("%1 answers as its boot loader, not as a reader: a run was "
                                   "cut short. Program it with: torvik-cli --port %1 program "
                                   "--in-boot FILE %2")
                        .arg(o_.port, boot->newType
                                          ? QStringLiteral("--prog-pgm")
                                          : QStringLiteral("--prog-pgm for a new-type boot loader "
                                                           "(models 10 to 16), --no-prog-pgm for "
                                                           "an old-type one")));
                return kInBootLoader;
            }
        }
        if (o_.command == "read") {
            if (o_.json) {
                const QJsonObject report =
                    readReport(who_, params_ ? &*params_ : nullptr, filters_ ? &*filters_ : nullptr,
                               lines_, read);
                print(stdout, QString::fromUtf8(QJsonDocument(report).toJson()) + '\n');
            }
            return read ? kOk : kFailed;
        }
        if (!read || stopSignal) return kFailed;
        if (o_.command == "backup") {
            if (!params_) {
                err(QStringLiteral("this reader has no parameter block to back up"));
                return kFailed;
            }
            QString error;
            if (!device::writeSettingsFile(o_.file, record(), &error)) {
                err(QStringLiteral("the settings could not be written: ") + error);
                return kOutputFailed;
            }
            return kOk;
        }
        if (o_.command == "write") {
            if (const int e = applyChoices()) return e;
            const device::OutputSettings wrote = settings_;
            if (const int e = writeParams()) return e;
            return readBack(&wrote, nullptr);
        }
        if (o_.command == "restore") return restore();
        if (o_.command == "factory-settings") {
            // The window's "Factory Settings": the lists to their first entries, each logged.
            settings_.protocol = settings_.protocol2 = settings_.typecode = 0;
            log(QString::fromLatin1(device::protocolEntry(0, withoutParity_)));
            log(offer_.protocol2Entries > 0
                    ? QString::fromLatin1(device::protocol2Entry(0, offer_.secondSerial))
                    : QString());
            log(QString::fromLatin1(device::kTypeCodeEntries[0]));
            return writeParams();
        }
        if (o_.command == "set-filter") {
            if (const int e = applyFilterBoxes()) return e;
            if (reader_.setFilters(deviceCode(), choice_, false, filtersRead()) !=
                device::FilterWriteVerdict::Accepted)
                return kFailed;
            // Only the full frame names every box, and only a reader that reads its filters
            // can show what it took.
            const bool explicitFrame =
                who_.row->filterWrite == device::FilterWrite::AutoOrExplicit && filtersRead();
            const device::FilterChoice wrote = choice_;
            return explicitFrame ? readBack(nullptr, &wrote) : kOk;
        }
        return program();
    }

    int openPort() {
        // A device path is taken as typed; a name COMn as the window reaches it.
        const bool isPath = o_.port.startsWith(QLatin1Char('/')) || o_.port.startsWith('\\');
        if (!isPath && comlink::comNumber(o_.port) == 0) {
            err(QStringLiteral("--port takes a name COM1 to COM128 or a device path, not \"%1\"")
                    .arg(o_.port));
            return kUsage;
        }
        const QString device = isPath ? o_.port : comlink::devicePath(o_.port);
        if (!QFileInfo::exists(device)) {
            err(QStringLiteral("there is no port %1 here (torvik-cli ports lists them)")
                    .arg(o_.port));
            return kUsage;
        }
        port_ = comlink::traced(comlink::makeSerialPort(), o_.port);
        if (!port_->open(device)) {
            switch (port_->openFailure()) {
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

    device::SettingsRecord record() const {
        return device::recordOf(who_, *params_, filters_ ? &*filters_ : nullptr);
    }

    // Every "Read param" that read a parameter block is kept under the backups folder; before a
    // write, the user is told where.
    void backUp() {
        if (!params_ || params_->reply != comlink::Reply::Accepted) return;
        QString error;
        const QString path = device::backupSettings(o_.port, record(), &error);
        if (path.isEmpty())
            err(QStringLiteral("the settings read could not be backed up: ") + error);
        else if (o_.command == "write" || o_.command == "set-filter" ||
                 o_.command == "factory-settings" || o_.command == "restore")
            err(QStringLiteral("the reader's settings were backed up to ") + path);
    }

    uint8_t deviceCode() const { return who_.row ? who_.row->device : device::kNoModel; }
    bool filtersRead() const { return filters_ && filters_->reply == comlink::Reply::Accepted; }

    // "Read param", step by step; true when each step that it takes for this model went through.
    // What the window would show after it is kept: the settings, the lists' names, the boxes
    // shown, the filter boxes and which of them take a click.
    bool readParam() {
        who_ = reader_.identify();
        if (!who_.identified() || deviceCode() == device::kNoModel || stopSignal) return false;
        const device::ModelRow& m = *who_.row;
        if (m.layout == device::Layout::FilterCodes) {
            // Configured by filter codes: the boxes start from the defaults.
            setFilterChoice(device::applyFilterRules(filters::kDefaultChecked).checked);
            offer_ = device::offer(m, who_.version[0], who_.version[1]);
            filtersShown_ = device::offeredFilters(m);
            return true;
        }
        params_ = reader_.readParams(who_);
        if (params_->reply != comlink::Reply::Accepted || stopSignal) return false;
        settings_ = params_->decoded.settings;
        if (m.readsFilters && params_->protectedMode()) {
            filters_ = reader_.readFilters(who_);
            if (!filtersRead()) return false;
            if (filters_->signatureValid) {
                setFilterChoice(filters_->choice);
                filtersShown_.fill(true);
            } else {
                log(QStringLiteral("Not read param of filtes."));
                setFilterChoice(device::applyFilterRules(filters::kDefaultChecked).checked);
            }
        }
        offer_ =
            device::offer(m, who_.version[0], who_.version[1], settings_.protocol2, filtersRead());
        // The lists show the names without parity bits where the parity box ended up ticked;
        // the short block leaves the box as it was.
        withoutParity_ = m.layout != device::Layout::ShortBlock && settings_.cbWgParityNo;
        if (m.layout == device::Layout::ShortBlock) {
            const device::OutputSettings block = settings_;
            settings_ = {};
            settings_.protocol = block.protocol;
            settings_.protocol2 = block.protocol2;
            settings_.cbRs485_232 = block.cbRs485_232;
            settings_.cbRestrictTm = block.cbRestrictTm;
            settings_.cbHidAnalisis = block.cbHidAnalisis;
        }
        // Two boxes count only while they are shown.
        settings_.cbPulseOnlyTm = settings_.cbPulseOnlyTm && shown("cbPulseOnlyTm");
        settings_.cbBcc7Uid = settings_.cbBcc7Uid && shown("cbBcc7Uid");
        return m.named;
    }

    bool shown(const char* option) const {
        return offer_.options[keyIndex(device::kOptionKeys, QString::fromLatin1(option))];
    }

    void setFilterChoice(const device::FilterChoice& c) {
        choice_ = c;
        filterEnabled_ = device::filterEnabled(c);
    }

    QString protocolName(int i) const {
        return QString::fromLatin1(device::protocolEntry(i, withoutParity_));
    }

    // An entry of a list by its text or its index; -1 after saying what the list holds.
    int entry(const QString& wanted, int count, const std::function<QString(int)>& name,
              const char* option) {
        if (count == 0) {
            err(QStringLiteral("--%1: the list is not shown for this reader").arg(option));
            return -1;
        }
        bool isIndex = false;
        int i = wanted.toInt(&isIndex);
        if (!isIndex) {
            i = -1;
            for (int k = 0; k < count && i < 0; ++k)
                if (name(k) == wanted) i = k;
        }
        if (i < 0 || i >= count) {
            QStringList entries;
            for (int k = 0; k < count; ++k)
                entries << QStringLiteral("%1 \"%2\"").arg(k).arg(name(k));
            err(QStringLiteral("--%1: no entry \"%2\"; this reader's list has %3")
                    .arg(option, wanted, entries.join(QStringLiteral(", "))));
            return -1;
        }
        return i;
    }

    // The choices as a user makes them on the window, each list's change logged as the window
    // logs it.
    int applyChoices() {
        if (!o_.protocol.isEmpty()) {
            const int i = entry(
                o_.protocol, offer_.protocolEntries, [this](int k) { return protocolName(k); },
                "protocol");
            if (i < 0) return kUsage;
            settings_.protocol = static_cast<uint8_t>(i);
            log(protocolName(i));
        }
        if (!o_.typeCode.isEmpty()) {
            const int i = entry(
                o_.typeCode, 4,
                [](int k) { return QString::fromLatin1(device::kTypeCodeEntries[k]); },
                "type-code");
            if (i < 0) return kUsage;
            settings_.typecode = static_cast<uint8_t>(i);
            log(QString::fromLatin1(device::kTypeCodeEntries[i]));
        }
        if (!o_.protocol2.isEmpty()) {
            const bool serial = offer_.secondSerial;
            const int i = entry(
                o_.protocol2, offer_.protocol2Entries,
                [serial](int k) { return QString::fromLatin1(device::protocol2Entry(k, serial)); },
                "protocol2");
            if (i < 0) return kUsage;
            settings_.protocol2 = static_cast<uint8_t>(i);
            log(QString::fromLatin1(device::protocol2Entry(i, serial)));
            // The serial box shows beside the third entry only.
            offer_.options[keyIndex(device::kOptionKeys, QStringLiteral("cbRs485_232"))] =
                i == device::kSecondProtocolSerial;
        }
        for (const BoxChoice& c : o_.boxes) {
            const int i = keyIndex(device::kOptionKeys, c.key);
            if (i < 0) {
                QStringList keys;
                for (std::size_t k = 0; k < offer_.options.size(); ++k)
                    if (offer_.options[k]) keys << quoted(device::kOptionKeys[k].name);
                err(QStringLiteral("--set: no box \"%1\" here; the boxes shown are %2")
                        .arg(c.key, keys.join(QStringLiteral(", "))));
                return kUsage;
            }
            if (!offer_.options[i]) {
                err(QStringLiteral("--set: the box \"%1\" is not shown for this reader")
                        .arg(c.key));
                return kUsage;
            }
            settings_.*device::kOptionKeys[i].member = c.checked;
            if (QLatin1String(device::kOptionKeys[i].name) == QLatin1String("cbWgParityNo"))
                withoutParity_ = c.checked;
        }
        if (o_.openTimeMs) {
            if (!offer_.openTime) {
                err(QStringLiteral("--open-time: this reader shows no open time"));
                return kUsage;
            }
            settings_.openTimeMs = *o_.openTimeMs;
        }
        return kOk;
    }

    int writeParams() {
        if (!who_.row->named || !params_ || params_->reply != comlink::Reply::Accepted) {
            err(QStringLiteral("\"Write param\" is not enabled for this reader"));
            return kFailed;
        }
        uint16_t openTime = 0;
        if (who_.row->fullBits)
            openTime = *device::openTimeUnits(QString::number(settings_.openTimeMs));
        return reader_.writeParams(deviceCode(), settings_, openTime) == comlink::Reply::Accepted
                   ? kOk
                   : kFailed;
    }

    // "Read param" once more, quietly, and each written field the reader does not hold named:
    // exit 1. Fields the model's write does not carry are not compared.
    int readBack(const device::OutputSettings* wrote, const device::FilterChoice* wroteFilters) {
        quiet_ = true;
        const bool read = readParam();
        quiet_ = false;
        if (!read) {
            err(
                QStringLiteral("the read-back after the write failed: what the reader took is "
                               "not known"));
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
        const device::ModelRow& m = *who_.row;
        if (wrote) {
            // What the reader holds if it took the write: the bytes the write carried (the pulse
            // box and the second list share a bit), read as "Read param" reads them.
            std::array<uint8_t, comlink::cmd::kParams.replyData> block = params_->block;
            const device::ParamBytes p = device::composeParams(m.device, *wrote);
            block[1] = p.p1;
            block[2] = p.p2;
            block[3] = p.p3;
            if (m.longWrite) {
                const uint16_t units = *device::openTimeUnits(QString::number(wrote->openTimeMs));
                block[5] = static_cast<uint8_t>(units & 0xFF);
                block[6] = static_cast<uint8_t>(units >> 8);
            }
            const device::OutputSettings expect = device::decodeParamBlock(block.data()).settings;
            const device::OutputSettings& now = params_->decoded.settings;
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
        if (wroteFilters && filters_ && filters_->signatureValid)
            for (int i = 0; i < filters::kBoxCount; ++i)
                compare(device::kFilterKeys[i].name, (*wroteFilters)[i], filters_->choice[i]);
        if (differ.isEmpty()) return kOk;
        err(QStringLiteral("the reader did not take: ") + differ.join(QStringLiteral(", ")));
        return kFailed;
    }

    // Brings the reader to the file's settings: the parameters its model's write carries, the
    // filters where it reads and writes them whole. A value it cannot take refuses the whole
    // restore before anything is written; the read-back follows the writes.
    int restore() {
        const device::ModelRow& m = *who_.row;
        const device::SettingsRecord& f = *file_;
        const bool otherModel = f.modelCode != who_.version[3];
        auto modelText = [](int code, const QString& name) {
            return name.isEmpty() ? QStringLiteral("model %1").arg(code)
                                  : QStringLiteral("model %1 (%2)").arg(code).arg(name);
        };
        if (otherModel && !o_.allowOtherModel) {
            err(QStringLiteral("%1 holds the settings of a %2, and this reader is a %3: nothing "
                               "written (--allow-other-model applies what both share)")
                    .arg(o_.file, modelText(f.modelCode, f.modelName),
                         modelText(who_.version[3], QString::fromLatin1(m.logName))));
            return kUsage;
        }
        if (!params_) {
            err(
                QStringLiteral("this reader is configured by filter codes and has no parameter "
                               "block: nothing to restore"));
            return kUsage;
        }
        device::OutputSettings target = settings_;
        QStringList refused, skipped, notWritable;
        // A value the reader cannot take: refused, or, from another model's file, left out.
        auto cannot = [&](const QString& why) { (otherModel ? skipped : refused) << why; };
        const device::OutputSettings& s = f.settings;
        // A list's entry, where the reader's list has it.
        auto entry = [&](const char* name, uint8_t wanted, uint8_t& into, int entries) {
            if (wanted == into) return;
            if (wanted < entries)
                into = wanted;
            else
                cannot(QStringLiteral("%1 %2 (this reader's list has %3 entries)")
                           .arg(QLatin1String(name))
                           .arg(wanted)
                           .arg(entries));
        };
        entry("protocol", s.protocol, target.protocol, offer_.protocolEntries);
        entry("protocol2", s.protocol2, target.protocol2, offer_.protocol2Entries);
        if (s.typecode != target.typecode) {
            if (m.fullBits)
                target.typecode = s.typecode;
            else
                notWritable << QStringLiteral("typecode");
        }
        const device::Offer shown =
            device::offer(m, who_.version[0], who_.version[1], target.protocol2, filtersRead());
        const auto written = device::writtenOptions(m);
        for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i) {
            const auto member = device::kOptionKeys[i].member;
            if (s.*member == target.*member) continue;
            const QString name = QLatin1String(device::kOptionKeys[i].name);
            if (!written[i])
                notWritable << name;
            else if (!shown.options[i])
                cannot(name + QStringLiteral(" (not shown for this reader)"));
            else
                target.*member = s.*member;
        }
        if (s.openTimeMs != target.openTimeMs) {
            if (!m.longWrite)
                notWritable << QStringLiteral("openTimeMs");
            else if (s.openTimeMs % device::kOpenTimeUnitMs != 0 || s.openTimeMs == 0)
                cannot(QStringLiteral("openTimeMs %1 (off the reader's 100 ms step)")
                           .arg(s.openTimeMs));
            else
                target.openTimeMs = s.openTimeMs;
        }
        // The filters: only where the model reads them and writes them whole.
        const bool filtersRestorable = m.readsFilters &&
                                       m.filterWrite == device::FilterWrite::AutoOrExplicit &&
                                       filtersRead() && filters_->signatureValid;
        std::optional<device::FilterChoice> filterTarget;
        if (f.filters && filtersRestorable) {
            const device::FilterChoice ruled = device::applyFilterRules(*f.filters).checked;
            for (int i = 0; i < filters::kBoxCount; ++i)
                if (ruled[i] != (*f.filters)[i])
                    cannot(QLatin1String(device::kFilterKeys[i].name) +
                           QStringLiteral(" (the filter rules hold it back)"));
            filterTarget = *f.filters;
        } else if (f.filters) {
            notWritable << QStringLiteral("filters");
        }
        if (!refused.isEmpty()) {
            err(QStringLiteral("%1: this reader cannot take %2: nothing written")
                    .arg(o_.file, refused.join(QStringLiteral(", "))));
            return kUsage;
        }
        if (!skipped.isEmpty())
            err(QStringLiteral("not applied (this model cannot take them): ") +
                skipped.join(QStringLiteral(", ")));
        if (!notWritable.isEmpty())
            err(QStringLiteral("not writable on this reader, kept in the file as a record: ") +
                notWritable.join(QStringLiteral(", ")));

        settings_ = target;
        if (const int e = writeParams()) return e;
        if (filterTarget && reader_.setFilters(deviceCode(), *filterTarget, false, true) !=
                                device::FilterWriteVerdict::Accepted)
            return kFailed;
        return readBack(&target, filterTarget ? &*filterTarget : nullptr);
    }

    int applyFilterBoxes() {
        for (const BoxChoice& c : o_.boxes) {
            const int i = keyIndex(device::kFilterKeys, c.key);
            if (i < 0 || !filtersShown_[i]) {
                QStringList keys;
                for (int k = 0; k < filters::kBoxCount; ++k)
                    if (filtersShown_[k]) keys << quoted(device::kFilterKeys[k].name);
                if (i < 0)
                    err(QStringLiteral("--set: no box \"%1\" here; the boxes shown are %2")
                            .arg(c.key, keys.isEmpty() ? QStringLiteral("none")
                                                       : keys.join(QStringLiteral(", "))));
                else
                    err(QStringLiteral("--set: the box \"%1\" is not shown for this reader")
                            .arg(c.key));
                return kUsage;
            }
            if (choice_[i] == c.checked) continue;
            if (!filterEnabled_[i]) {
                err(QStringLiteral("--set: the box \"%1\" cannot be changed now: the other "
                                   "boxes' rules hold it")
                        .arg(c.key));
                return kUsage;
            }
            // A click: the box changes, and a box with rules of its own runs them.
            choice_[i] = c.checked;
            for (filters::Box t : device::kFilterTriggers) {
                if (t != i) continue;
                const device::FilterRules rules = device::applyFilterRules(choice_);
                choice_ = rules.checked;
                for (int k = 0; k < filters::kBoxCount; ++k)
                    if (rules.enabled[k]) filterEnabled_[k] = *rules.enabled[k];
            }
            if (choice_[i] != c.checked) {
                err(QStringLiteral("--set: the box \"%1\" cannot be %2: the filter rules undo it")
                        .arg(c.key,
                             c.checked ? QStringLiteral("ticked") : QStringLiteral("unticked")));
                return kUsage;
            }
        }
        return kOk;
    }

    int program() {
        bool progPgm = false;
        if (!o_.inBoot) {
            const device::ModelRow& m = *who_.row;
            progPgm = m.progPgm == device::ProgPgm::Checked;
            if (o_.avtoSetFilter && m.layout == device::Layout::ShortBlock) {
                err(QStringLiteral(
                    "--avto-set-filter: \"Avto set filter\" is not shown for this reader"));
                return kUsage;
            }
        }
        if (o_.progPgm) progPgm = *o_.progPgm;
        if (!o_.inBoot && reader_.enterBootLoader() != comlink::Reply::Accepted) return kFailed;
        const auto bytes =
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(image_.constData()),
                                     static_cast<std::size_t>(image_.size()));
        const bool terminal = stderrIsTerminal();
        QElapsedTimer clock;
        clock.start();
        // The boot loader starts: a signal meanwhile still gets it its end frame.
        while (!o_.inBoot && clock.elapsed() < kBootStartMs && !stopSignal) QThread::msleep(10);
        // A boot loader that takes no packet (a NAK to each, no answer) would keep the run going
        // for ever: after the stall time it ends as "Stop" ends it.
        QElapsedTimer sinceAccepted;
        sinceAccepted.start();
        bool stalled = false;
        device::RunResult r;
        if (stopSignal) {
            r = reader_.stopBeforeFirstPacket(image_.size());
        } else {
            device::RunHooks hooks;
            hooks.stopRequested = [&] {
                if (stopSignal) return true;
                stalled =
                    o_.stallTimeoutS > 0 && sinceAccepted.elapsed() >= o_.stallTimeoutS * 1000LL;
                return stalled;
            };
            hooks.accepted = [&] { sinceAccepted.restart(); };
            hooks.progress = [&](int percent) {
                const QString& line = lines_.last();
                if (!line.startsWith(QStringLiteral("passed "))) return;
                const QString text =
                    progressLine(terminal, percent, image_.size(), clock.elapsed(), line);
                print(stderr, terminal ? QStringLiteral("\r") + text : text + '\n');
            };
            const bool avto = o_.avtoSetFilter;
            hooks.filterRequestAfterRun = [avto] { return avto; };
            clock.restart();
            r = reader_.program(bytes, progPgm, hooks);
        }
        if (terminal) print(stderr, QStringLiteral("\n"));
        err(QStringLiteral("the run took %1 ms").arg(clock.elapsed()));
        // The outcome, the last line: delivered, or why not.
        const device::RunOutcome outcome = device::runOutcome(r);
        if (stalled)
            err(QStringLiteral("Stopped: the boot loader took no packet for %1 s "
                               "(--stall-timeout); %2 of %3 bytes accepted")
                    .arg(o_.stallTimeoutS)
                    .arg(r.bytesAccepted)
                    .arg(r.imageBytes));
        else
            err(outcome.text);
        return outcome.delivered ? kOk : kFailed;
    }

    const Options& o_;
    device::Reader reader_;
    std::unique_ptr<comlink::SerialPort> port_;
    QStringList lines_;
    QByteArray image_;
    device::Identity who_;
    std::optional<device::ParamRead> params_;
    std::optional<device::FilterRead> filters_;
    std::optional<device::SettingsRecord> file_;
    bool quiet_ = false;
    device::OutputSettings settings_;
    device::Offer offer_;
    bool withoutParity_ = false;
    device::FilterChoice choice_{};
    std::array<bool, filters::kBoxCount> filterEnabled_{};
    std::array<bool, filters::kBoxCount> filtersShown_{};
};

int listPorts() {
    const comlink::ProbeResult probe = comlink::probePorts();
    for (const comlink::ProbedPort& p : probe.ports) {
        // The tool tip's first line is the device; what follows is what the system knows of
        // the adapter.
        QStringList about = p.toolTip.split(QLatin1Char('\n'));
        about.removeFirst();
        out(QStringList{p.name, p.device, about.join(QStringLiteral(", "))}
                .join(QLatin1Char('\t'))
                .trimmed());
    }
    const QString hint = comlink::leftOutHint(probe.leftOut, !probe.ports.empty());
    if (!hint.isEmpty()) print(stderr, hint + '\n');
    if (probe.ports.empty()) return kFailed;
    return outputFailed ? kOutputFailed : kOk;
}

}  // namespace

QString helpText() {
    return QStringLiteral(
        "Usage: torvik-cli [--help | --version]\n"
        "       torvik-cli ports\n"
        "       torvik-cli [--trace FILE] --port COMn|DEVICE COMMAND [options]\n"
        "The operations of torvik-config's window, for scripts: the reader gets exactly what\n"
        "the window would send for the same choices. Only the port given is opened.\n"
        "\n"
        "Commands:\n"
        "  ports               the ports the window would list: name, device, adapter\n"
        "  read [--json]       \"Read param\"; prints the log lines, or one JSON object with\n"
        "                      the settings under their control names and the raw blocks\n"
        "  write [--protocol TEXT|INDEX] [--type-code TEXT|INDEX] [--protocol2 TEXT|INDEX]\n"
        "        [--set \"KEY=0|1\"]... [--open-time MS]\n"
        "                      \"Read param\", the changes as a user makes them, \"Write param\"\n"
        "  factory-settings    \"Read param\", \"Factory Settings\", \"Write param\"\n"
        "  set-filter [--set \"KEY=0|1\"]...\n"
        "                      \"Read param\", the filter boxes, \"Set filter\"\n"
        "  boot                \"Go to the BOOT\"\n"
        "  backup FILE         \"Read param\", and the settings read into FILE (JSON)\n"
        "  restore FILE [--allow-other-model]\n"
        "                      \"Read param\", the writes that bring the reader to FILE's\n"
        "                      settings, and a read-back; a file of another model is refused\n"
        "                      unless --allow-other-model (what both share)\n"
        "  program FILE [--prog-pgm | --no-prog-pgm] [--avto-set-filter]\n"
        "               [--stall-timeout SECONDS]\n"
        "                      \"Read param\", \"Open File\", \"Go to the BOOT\", \"PGM\";\n"
        "                      progress on standard error, the outcome as its last line; a\n"
        "                      run that no packet moves on for 30 s (or SECONDS; 0: never)\n"
        "                      ends as \"Stop\" ends it\n"
        "  program --in-boot FILE --prog-pgm | --no-prog-pgm\n"
        "                      a reader left in its boot loader: \"PGM\" alone, new-type\n"
        "                      (--prog-pgm) or old-type (--no-prog-pgm)\n"
        "\n"
        "--trace FILE writes every event of the port (open, set, purge, write, read, timeout,\n"
        "close) with its time and bytes to FILE, - for standard error.\n"
        "Every \"Read param\" that reads a parameter block is also kept in\n"
        "~/.local/share/torvik-config/backups ($XDG_DATA_HOME), the newest 1000.\n"
        "KEY is a box's control name (cbLock, cbFilter2, ...; read --json lists them), or its\n"
        "caption where no other box has it. The log lines go to standard output, message boxes\n"
        "and progress to standard error. SIGINT, SIGTERM and SIGHUP stop a run as \"Stop\" does\n"
        "(the end frame is sent) and any other operation once its exchange is over.\n"
        "\n"
        "Exit status:\n"
        "  0    the good verdict (\"OK\", \"OK: Filter write.\"); for program, the firmware\n"
        "       delivered: old-type every block accepted and \"Transmission OK\", new-type\n"
        "       \"END OF PGM\" after every block of the image\n"
        "  1    the reader refused or did not answer, or the firmware was not delivered\n"
        "  2    a usage error, an unknown port or an unreadable file\n"
        "  3    the port cannot be opened (in use, no permission, not a serial device)\n"
        "  4    the reader answers as its boot loader: program it with --in-boot\n"
        "  5    standard output could not be written\n"
        "  129, 130, 143\n"
        "       stopped by SIGHUP, SIGINT (Ctrl+C) or SIGTERM; a signal's code wins\n");
}

Parsed parseArguments(const QStringList& args) {
    Parsed r;
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "help");
    const QCommandLineOption version("version", "version");
    const QCommandLineOption port("port", "port", "COMn");
    const QCommandLineOption json("json", "json");
    const QCommandLineOption protocol("protocol", "protocol", "entry");
    const QCommandLineOption typeCode("type-code", "type code", "entry");
    const QCommandLineOption protocol2("protocol2", "protocol 2", "entry");
    const QCommandLineOption set("set", "set", "KEY=0|1");
    const QCommandLineOption openTime("open-time", "open time", "ms");
    const QCommandLineOption progPgm("prog-pgm", "prog pgm");
    const QCommandLineOption noProgPgm("no-prog-pgm", "no prog pgm");
    const QCommandLineOption avto("avto-set-filter", "avto set filter");
    const QCommandLineOption inBoot("in-boot", "in boot");
    const QCommandLineOption stall("stall-timeout", "stall timeout", "seconds");
    const QCommandLineOption trace("trace", "trace", "file");
    const QCommandLineOption otherModel("allow-other-model", "allow other model");
    p.addOptions({help, version, port, json, protocol, typeCode, protocol2, set, openTime, progPgm,
                  noProgPgm, avto, inBoot, stall, trace, otherModel});
    if (!p.parse(QStringList{QStringLiteral("torvik-cli")} + args)) {
        r.error = p.errorText();
        return r;
    }
    if (p.isSet(help)) {
        r.help = true;
        return r;
    }
    if (p.isSet(version)) {
        r.version = true;
        return r;
    }
    QStringList rest = p.positionalArguments();
    if (rest.isEmpty()) {
        r.error = QStringLiteral("no command given");
        return r;
    }
    Options& o = r.options;
    o.command = rest.takeFirst();
    if (!kCommands.contains(o.command)) {
        r.error = QStringLiteral("unknown command \"%1\"").arg(o.command);
        return r;
    }
    if (o.command == "program" || o.command == "backup" || o.command == "restore") {
        if (rest.isEmpty()) {
            r.error = o.command == "program"  ? QStringLiteral("program takes the firmware file")
                      : o.command == "backup" ? QStringLiteral("backup takes the file to write")
                                              : QStringLiteral("restore takes the settings file");
            return r;
        }
        o.file = rest.takeFirst();
    }
    if (!rest.isEmpty()) {
        r.error = QStringLiteral("unexpected argument \"%1\"").arg(rest.first());
        return r;
    }
    if (o.command == "ports") {
        if (p.isSet(port)) {
            r.error = QStringLiteral("ports takes no --port");
            return r;
        }
    } else if (!p.isSet(port)) {
        r.error = QStringLiteral("%1 needs --port COMn").arg(o.command);
        return r;
    }
    for (const QString& name : p.optionNames()) {
        if (name == "port" || name == "trace") continue;
        if (!takes(o.command, name)) {
            r.error = QStringLiteral("%1 takes no --%2").arg(o.command, name);
            return r;
        }
    }
    // A name COMn in any case; a device path as typed.
    o.port = p.value(port);
    if (!o.port.startsWith(QLatin1Char('/')) && !o.port.startsWith(QLatin1Char('\\')))
        o.port = o.port.toUpper();
    o.json = p.isSet(json);
    o.trace = p.value(trace);
    o.protocol = p.value(protocol);
    o.typeCode = p.value(typeCode);
    o.protocol2 = p.value(protocol2);
    for (const QString& s : p.values(set)) {
        const qsizetype eq = s.lastIndexOf(QLatin1Char('='));
        const QString state = eq < 0 ? QString() : s.mid(eq + 1);
        if (eq <= 0 || (state != "0" && state != "1")) {
            r.error = QStringLiteral("--set takes \"KEY=0\" or \"KEY=1\", not \"%1\"").arg(s);
            return r;
        }
        o.boxes.push_back({s.left(eq), state == "1"});
    }
    if (p.isSet(openTime)) {
        bool ok = false;
        const int ms = p.value(openTime).toInt(&ok);
        if (!ok || ms < 0 || ms > 6553500) {
            r.error = QStringLiteral(
                          "--open-time takes milliseconds from 0 to 6553500, not "
                          "\"%1\"")
                          .arg(p.value(openTime));
            return r;
        }
        o.openTimeMs = ms;
    }
    if (p.isSet(progPgm) && p.isSet(noProgPgm)) {
        r.error = QStringLiteral("--prog-pgm and --no-prog-pgm together");
        return r;
    }
    if (p.isSet(progPgm)) o.progPgm = true;
    if (p.isSet(noProgPgm)) o.progPgm = false;
    o.avtoSetFilter = p.isSet(avto);
    o.inBoot = p.isSet(inBoot);
    o.allowOtherModel = p.isSet(otherModel);
    if (o.inBoot && !o.progPgm) {
        r.error = QStringLiteral(
            "--in-boot needs --prog-pgm (a new-type boot loader) or --no-prog-pgm (an old-type "
            "one)");
        return r;
    }
    if (o.inBoot && o.avtoSetFilter) {
        r.error = QStringLiteral("--in-boot and --avto-set-filter together (no reader was read)");
        return r;
    }
    if (p.isSet(stall)) {
        bool ok = false;
        o.stallTimeoutS = p.value(stall).toInt(&ok);
        if (!ok || o.stallTimeoutS < 0 || o.stallTimeoutS > 86400) {
            r.error = QStringLiteral("--stall-timeout takes seconds from 0 to 86400, not \"%1\"")
                          .arg(p.value(stall));
            return r;
        }
    }
    return r;
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

QJsonObject readReport(const device::Identity& who, const device::ParamRead* params,
                       const device::FilterRead* filters, const QStringList& lines, bool ok) {
    QJsonObject r;
    r["ok"] = ok;
    if (who.reply == comlink::Reply::Accepted) {
        const auto& v = who.version;
        r["version"] = QStringLiteral("%1.%2.%3.%4").arg(v[3]).arg(v[2]).arg(v[1]).arg(v[0]);
        r["firmware"] = QStringLiteral("%1.%2.%3").arg(v[2]).arg(v[1]).arg(v[0]);
        r["model"] =
            QJsonObject{{"code", v[3]},
                        {"name", who.row && who.row->named ? QString::fromLatin1(who.row->logName)
                                                           : QString()}};
    }
    if (params && params->reply == comlink::Reply::Accepted && who.row) {
        const device::ModelRow& m = *who.row;
        const device::OutputSettings& s = params->decoded.settings;
        static const char* const kModes[] = {"reader", "protected", "your key"};
        const uint8_t mode = params->decoded.mode;
        r["mode"] = QJsonObject{
            {"code", mode},
            {"text", mode < 3 ? QString::fromLatin1(kModes[mode]) : QStringLiteral("not defined")}};
        const bool filtersShown = filters && filters->reply == comlink::Reply::Accepted;
        const device::Offer o =
            device::offer(m, who.version[0], who.version[1], s.protocol2, filtersShown);
        const bool withoutParity = m.layout != device::Layout::ShortBlock && s.cbWgParityNo;
        auto list = [](int index, const QString& text, bool shown) {
            return QJsonObject{{"index", index}, {"text", text}, {"shown", shown}};
        };
        const bool undefined = s.protocol == device::kProtocolUndefined;
        QJsonObject settings{
            {"protocol",
             list(undefined ? -1 : s.protocol,
                  undefined ? QString()
                            : QString::fromLatin1(device::protocolEntry(s.protocol, withoutParity)),
                  o.protocolEntries > 0)},
            {"protocol2", list(s.protocol2,
                               o.protocol2Entries > 0 ? QString::fromLatin1(device::protocol2Entry(
                                                            s.protocol2, o.secondSerial))
                                                      : QString(),
                               o.protocol2Entries > 0)},
            {"typecode",
             list(s.typecode, QString::fromLatin1(device::kTypeCodeEntries[s.typecode]), true)},
            {"openTime", QJsonObject{{"ms", s.openTimeMs}, {"shown", o.openTime}}}};
        QJsonObject options;
        for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i)
            options[QLatin1String(device::kOptionKeys[i].name)] =
                QJsonObject{{"checked", s.*device::kOptionKeys[i].member}, {"shown", o.options[i]}};
        settings["options"] = options;
        r["settings"] = settings;
        r["paramBlock"] = device::hexText(params->block.data(), params->block.size());
    }
    if (filters && filters->reply == comlink::Reply::Accepted) {
        QJsonObject boxes;
        for (int i = 0; i < filters::kBoxCount; ++i)
            boxes[QLatin1String(device::kFilterKeys[i].name)] =
                filters->signatureValid && filters->choice[i];
        r["filters"] = boxes;
        r["filterBlock"] = device::hexText(filters->block.data(), filters->block.size());
    }
    r["filtersRead"] = filters && filters->reply == comlink::Reply::Accepted;
    r["log"] = QJsonArray::fromStringList(lines);
    return r;
}

int run(const Options& options) {
    QString error;
    if (!options.trace.isEmpty() && !comlink::startTrace(options.trace, &error)) {
        err(error);
        return kUsage;
    }
    setUpSignals();
    if (options.command == "ports") return listPorts();
    Session session(options);
    return session.run();
}

}  // namespace cli
