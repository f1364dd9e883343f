// torvik-reader-sim: a card reader on a pseudo-terminal that the configurator opens as a COM
// port. It answers as the reader's application and, after the boot entry request, as its boot
// loader, and prints every exchange.

#include <sys/time.h>
#include <unistd.h>
#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "device/model_table.h"
#include "firmware/image.h"
#include "link/frame.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "tools/emulator/port_link.h"
#include "tools/emulator/pty_reader.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int sig) {
    const char c = sig == SIGUSR1 ? 'u' : 'x';
    [[maybe_unused]] const ssize_t w = ::write(signalPipe[1], &c, 1);
}

// name.rom with a COM name: name-COM3.rom.
QString withName(const QString& path, const QString& name) {
    const QFileInfo f(path);
    const QString suffix = f.suffix().isEmpty() ? QString() : QLatin1Char('.') + f.suffix();
    return path.left(path.size() - suffix.size()) + QLatin1Char('-') + name + suffix;
}

bool parseHex(const QString& text, std::size_t count, uint8_t* out) {
    QString digits = text;
    digits.remove(QLatin1Char(' ')).remove(QLatin1Char(':'));
    // Every character a digit: Qt's own decoding skips the others without a word.
    for (QChar c : digits)
        if (!c.isDigit() && !(c.toUpper() >= QLatin1Char('A') && c.toUpper() <= QLatin1Char('F')))
            return false;
    const QByteArray bytes = QByteArray::fromHex(digits.toLatin1());
    if (static_cast<std::size_t>(bytes.size()) != count ||
        digits.size() != static_cast<int>(count * 2))
        return false;
    std::copy(bytes.begin(), bytes.end(), out);
    return true;
}

std::string timestamp() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long>(tv.tv_usec / 1000));
    return buf;
}

std::string spacedHex(const emu::Bytes& b) {
    const std::size_t shown = std::min<std::size_t>(b.size(), 24);
    std::string s = comlink::hexDump(b.data(), shown);
    if (b.size() > shown) s += " ... (" + std::to_string(b.size()) + " bytes)";
    return s;
}

// The firmware files that --make-rom writes: a header of its own, then the image.
constexpr int kDefaultRomImage = 4096;
constexpr int kMinRomImage = 8;
constexpr int kMaxRomImage = 999 * 262;  // what a new-type boot loader can take at most
// The flash of a simulated new-type boot loader, in blocks of 262 bytes: it asks for blocks 0 to
// kDefaultNewBlocks - 1, then for 999.
constexpr int kDefaultNewBlocks = 16;
constexpr char kRomHeader[] = "torvik-reader-sim rehearsal firmware\n";

bool writeRom(const QString& path, int imageBytes, QString* error) {
    QByteArray image(imageBytes, 0);
    uint32_t x = 0x2545F491u;  // a fixed pattern, the same for every file of one size
    for (int i = 0; i < imageBytes - 4; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[i] = static_cast<char>(x & 0xFF);
    }
    firmware::putTrailer(
        reinterpret_cast<uchar*>(image.data()) + imageBytes - firmware::kTrailerBytes, imageBytes);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("--make-rom: cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    f.write(kRomHeader, sizeof kRomHeader - 1);
    f.write(image);
    return f.flush();
}

// Whether a file can be written at path, without writing it.
bool writable(const QString& path, QString* why) {
    const QFileInfo info(path);
    if (info.exists()) {
        if (!info.isFile()) {
            *why = QStringLiteral("%1 is not a regular file").arg(path);
            return false;
        }
        if (::access(QFile::encodeName(path).constData(), W_OK) != 0) {
            *why = QStringLiteral("cannot write %1: %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        return true;
    }
    const QString dir = info.absolutePath();
    if (!QFileInfo(dir).isDir()) {
        *why = QStringLiteral("cannot write %1: there is no folder %2").arg(path, dir);
        return false;
    }
    if (::access(QFile::encodeName(dir).constData(), W_OK) != 0) {
        *why = QStringLiteral("cannot write in %1: %2")
                   .arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

// The image as the configurator meant it: the received blocks cut where the image's length
// trailer says it ends, when the rest is the 0xFF filling of its last old-type block.
std::size_t imageLength(const emu::Bytes& image) {
    const std::size_t n = image.size();
    for (std::size_t len = n; len >= 4 && n - len < 132; --len) {
        bool filler = true;
        for (std::size_t i = len; i < n && filler; ++i) filler = image[i] == 0xFF;
        if (!filler) break;
        const qint32 trailer = firmware::trailerLength(&image[len - firmware::kTrailerBytes]);
        if (trailer > 0 && static_cast<std::size_t>(trailer) == len) return len;
    }
    return n;
}

// --save-image: after every answer of the boot loader, the image of the run it is in (or ended
// last): as far as it went, and cut at its length trailer once the run ended. A new run starts
// it afresh.
void saveImage(const QString& path, const emu::PtyReader& reader, emu::Direction d,
               bool bootLoader) {
    if (!bootLoader || d != emu::Direction::FromReader) return;
    const emu::BootLoader b = reader.bootLoader();
    const std::size_t len = b.finished ? imageLength(b.image) : b.image.size();
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::printf("%s    cannot write %s: %s\n", timestamp().c_str(), qPrintable(path),
                    qPrintable(f.errorString()));
        return;
    }
    f.write(reinterpret_cast<const char*>(b.image.data()), static_cast<qint64>(len));
    if (b.finished)
        std::printf("%s    image of %zu bytes written to %s\n", timestamp().c_str(), len,
                    qPrintable(path));
}

// Beside each link of a simulator, the PID of the simulator that made it.
QString ownerFile(const QString& link) {
    const QFileInfo info(link);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() +
           QStringLiteral(".torvik-reader-sim");
}

bool simulatorRuns(qint64 pid) {
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) return false;
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly)) return true;  // alive; nothing says it is not one
    return comm.readAll().trimmed().startsWith("torvik-reader-s");
}

// A link left by a simulator that no longer runs: its owner file names the link's target and a
// PID that is no simulator now.
bool staleLink(const QString& link) {
    const QFileInfo info(link);
    if (!info.isSymLink()) return false;
    QFile owner(ownerFile(link));
    if (!owner.open(QIODevice::ReadOnly)) return false;
    const QList<QByteArray> lines = owner.readAll().split('\n');
    if (lines.size() < 2) return false;
    bool ok = false;
    const qint64 pid = lines[0].trimmed().toLongLong(&ok);
    if (!ok || QString::fromLocal8Bit(lines[1].trimmed()) != info.symLinkTarget()) return false;
    return !simulatorRuns(pid);
}

// Makes COMn in the link folder point at the pty; never replaces a link that is not ours.
QString claimName(const QString& wanted, const std::string& pty, QString* error) {
    const QString folder = comlink::portLinkFolder();
    QDir().mkpath(folder);
    QStringList candidates;
    if (!wanted.isEmpty()) {
        candidates << wanted;
    } else {
        for (int n = comlink::kFirstPort; n <= comlink::kLastPort; ++n) {
            const QString name = comlink::comName(n);
            // A name whose fixed device exists belongs to that device.
            if (QFileInfo::exists(comlink::devicePath(name))) continue;
            candidates << name;
        }
    }
    auto take = [&](const QString& name) {
        if (!emu::linkPty(pty, name, emu::LinkMode::Exclusive)) return false;
        QFile owner(ownerFile(emu::portLinkPath(name)));
        if (owner.open(QIODevice::WriteOnly | QIODevice::Truncate))
            owner.write(QByteArray::number(static_cast<qint64>(::getpid())) + '\n' +
                        QByteArray(pty.c_str()) + '\n');
        return true;
    };
    for (const QString& name : candidates) {
        const QString link = emu::portLinkPath(name);
        if (take(name)) return name;
        if (wanted.isEmpty()) continue;
        if (staleLink(link)) {
            std::printf(
                "torvik-reader-sim: %s was left by a simulator that no longer runs: "
                "taking it over\n",
                qPrintable(name));
            QFile::remove(link);
            if (take(name)) return name;
        }
        *error = QStringLiteral(
                     "%1 is taken: %2 already exists and is not this simulator's, or its "
                     "simulator still runs; remove it or choose another name with --com.")
                     .arg(name, link);
    }
    if (error->isEmpty()) *error = QStringLiteral("no free COM name in %1").arg(folder);
    return {};
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvik-reader-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVIK_VERSION));

    QCommandLineParser cli;
    cli.setApplicationDescription(
        QStringLiteral(
            "A simulated card reader for torvik-config. It opens a pseudo-terminal and links it "
            "as\n"
            "a COM port in %1,\n"
            "so that the configurator lists it. Every exchange is printed here.\n\n"
            "Examples:\n"
            "  torvik-reader-sim                          a %2 (model 15), firmware 1.7.1\n"
            "  torvik-reader-sim --com COM7 --model 4 --firmware 0.7.30\n"
            "  torvik-reader-sim --mode reader --params 00410000000A000000\n"
            "  torvik-reader-sim --boot new --blocks 12 --save-image received.rom\n"
            "  torvik-reader-sim --count 8 --model 4     a bench of eight readers\n\n"
            "kill -USR1 <pid> disconnects the reader from its port (the port stays, nothing\n"
            "answers), and the next one connects it again: a reader unplugged from an adapter\n"
            "that stays plugged, and the next one plugged in, to rehearse torvik-cli --watch.")
            .arg(comlink::portLinkFolder(), QLatin1String(device::modelRow(15)->logName)));
    cli.addHelpOption();
    const QCommandLineOption com(
        QStringLiteral("com"),
        QStringLiteral("The COM name to take, e.g. COM7 (default: the first free)."),
        QStringLiteral("name"));
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("Model code, 0 to 255 (default 15, %1).")
                                       .arg(QLatin1String(device::modelRow(15)->logName)),
                                   QStringLiteral("code"), QStringLiteral("15"));
    const QCommandLineOption fw(
        QStringLiteral("firmware"),
        QStringLiteral("Firmware version major.minor.build (default 1.7.1)."),
        QStringLiteral("x.y.z"), QStringLiteral("1.7.1"));
    const QCommandLineOption mode(
        QStringLiteral("mode"),
        QStringLiteral("Operating mode: reader, protected, key, or a number (default protected)."),
        QStringLiteral("mode"), QStringLiteral("protected"));
    const QCommandLineOption params(
        QStringLiteral("params"),
        QStringLiteral("The 9-byte parameter block in hexadecimal; its first byte is the mode. "
                       "Default 01410000000A000000: protected, Wiegand 26, lock, 1000 ms."),
        QStringLiteral("hex"));
    const QCommandLineOption filters(
        QStringLiteral("filters"),
        QStringLiteral("The 32-byte filter block in hexadecimal (default: every filter at its "
                       "default)."),
        QStringLiteral("hex"));
    const QCommandLineOption noMaster(
        QStringLiteral("no-master"),
        QStringLiteral("Refuse to read or write filters (the reader is not in master mode)."));
    const QCommandLineOption boot(
        QStringLiteral("boot"),
        QStringLiteral("Boot loader generation: old (takes numbered 132-byte blocks) or new "
                       "(asks for 262-byte blocks; start PGM with \"PROG pgm\" ticked). "
                       "Default: new for models 10 to 16, old for the others."),
        QStringLiteral("old|new"));
    const QCommandLineOption blocks(
        QStringLiteral("blocks"),
        QStringLiteral("New-type: the boot loader's flash in blocks of 262 bytes; it asks for "
                       "blocks 0 to n - 1, then for 999 (default %1). With --make-rom: the "
                       "image is n blocks and its length trailer.")
            .arg(kDefaultNewBlocks),
        QStringLiteral("n"));
    const QCommandLineOption save(
        QStringLiteral("save-image"),
        QStringLiteral("Write the image of the last programming run to this file after every "
                       "answer: whole, and cut at its length trailer, once the run ended; as "
                       "far as it went while it runs or when it was cut short."),
        QStringLiteral("file"));
    const QCommandLineOption stall(
        QStringLiteral("stall"),
        QStringLiteral("A boot loader that takes nothing: it answers every packet with a NAK."));
    const QCommandLineOption check(
        QStringLiteral("check-ports"),
        QStringLiteral("Print the ports the configurator would list and exit: 0 if there is one, "
                       "1 if none."));
    const QCommandLineOption makeRom(
        QStringLiteral("make-rom"),
        QStringLiteral("Write a firmware file to rehearse an update with and exit: a header, "
                       "then an image whose last four bytes give its length (little-endian). "
                       "For a new-type boot loader (--model 10 to 16, or --boot new) the image "
                       "fills its flash: --blocks x 262 bytes and the trailer."),
        QStringLiteral("file"));
    const QCommandLineOption size(
        QStringLiteral("size"),
        QStringLiteral("With --make-rom: the image's length in bytes, 8 to 261738 (default "
                       "4096 for an old-type boot loader)."),
        QStringLiteral("bytes"));
    const QCommandLineOption count(
        QStringLiteral("count"),
        QStringLiteral("Start this many readers, alike, on as many free COM names, 1 to 64 "
                       "(default 1). With --save-image each writes its own file, the COM name "
                       "inserted before the extension (received-COM3.rom)."),
        QStringLiteral("n"));
    const QCommandLineOption silent(
        QStringLiteral("silent"),
        QStringLiteral("Start with no reader on the line: the port is there and nothing "
                       "answers until kill -USR1."));
    const QList<QCommandLineOption> all{com,      model, fw,     mode,  params, filters,
                                        noMaster, boot,  blocks, save,  stall,  check,
                                        makeRom,  size,  count,  silent};
    for (const auto& o : all) cli.addOption(o);
    cli.addVersionOption();
    cli.addPositionalArgument(QStringLiteral("name"),
                              QStringLiteral("The COM name to take, the same as --com."),
                              QStringLiteral("[COMn]"));

    auto fail = [](const QString& message) {
        std::fprintf(stderr, "torvik-reader-sim: %s\n", qPrintable(message));
        return 2;
    };
    if (!cli.parse(QCoreApplication::arguments()))
        return fail(cli.errorText().chopped(cli.errorText().endsWith('.') ? 1 : 0) +
                    QStringLiteral("; see torvik-reader-sim --help"));
    if (cli.isSet(QStringLiteral("help"))) cli.showHelp(0);
    if (cli.isSet(QStringLiteral("version"))) cli.showVersion();

    // Every option once: a second one would silently win over the first.
    const QStringList given = cli.optionNames();
    for (const QString& o : given)
        if (given.count(o) > 1) return fail(QStringLiteral("--%1 is given twice").arg(o));
    const QStringList positional = cli.positionalArguments();
    if (positional.size() > 1)
        return fail(QStringLiteral("one COM name at most, not '%1'").arg(positional.join(' ')));
    QString wanted = cli.value(com);
    if (!positional.isEmpty()) {
        if (comlink::comNumber(positional.first()) == 0)
            return fail(QStringLiteral("'%1' is no COM name (COM1 to COM128) and no option; see "
                                       "torvik-reader-sim --help")
                            .arg(positional.first()));
        if (cli.isSet(com))
            return fail(QStringLiteral("the COM name is given twice: %1 and --com %2")
                            .arg(positional.first(), wanted));
        wanted = positional.first();
    }
    if (!wanted.isEmpty() && comlink::comNumber(wanted) == 0)
        return fail(QStringLiteral("--com takes a name from COM1 to COM128, not '%1'").arg(wanted));

    // The options that do one thing and exit take no other.
    for (const QCommandLineOption* alone : {&check, &makeRom}) {
        if (!cli.isSet(*alone)) continue;
        const QString name = alone->names().first();
        static const QStringList kWithMakeRom{"size", "model", "boot", "blocks"};
        for (const QString& o : given)
            if (o != name && !(name == QLatin1String("make-rom") && kWithMakeRom.contains(o)))
                return fail(QStringLiteral("--%1 takes no --%2").arg(name, o));
        if (!positional.isEmpty()) return fail(QStringLiteral("--%1 takes no COM name").arg(name));
    }
    if (cli.isSet(size) && !cli.isSet(makeRom))
        return fail(QStringLiteral("--size goes with --make-rom"));

    if (cli.isSet(check)) {
        const comlink::ProbeResult probe = comlink::probePorts();
        for (const auto& p : probe.ports)
            std::printf("%s\t%s\n", qPrintable(p.name), qPrintable(p.device));
        const QString hint = comlink::leftOutHint(probe.leftOut, !probe.ports.empty());
        if (!hint.isEmpty()) std::fprintf(stderr, "%s\n", qPrintable(hint));
        return probe.ports.empty() ? 1 : 0;
    }

    bool ok = false;
    emu::ReaderState state;
    const uint modelCode = cli.value(model).toUInt(&ok);
    if (!ok || modelCode > 255)
        return fail(
            QStringLiteral("--model takes a number from 0 to 255, not '%1'").arg(cli.value(model)));
    const QStringList v = cli.value(fw).split(QLatin1Char('.'));
    if (v.size() != 3)
        return fail(QStringLiteral("--firmware takes three numbers, e.g. 1.7.1, not '%1'")
                        .arg(cli.value(fw)));
    for (int i = 0; i < 3; ++i) {
        const uint part = v[i].toUInt(&ok);
        if (!ok || part > 255)
            return fail(QStringLiteral("--firmware: each part goes from 0 to 255, not '%1'")
                            .arg(cli.value(fw)));
        state.version[2 - i] = static_cast<uint8_t>(part);
    }
    state.version[3] = static_cast<uint8_t>(modelCode);
    if (cli.isSet(params) && cli.isSet(mode))
        return fail(
            QStringLiteral("--mode and --params both give the mode (the first byte of "
                           "the parameter block): give one"));
    if (cli.isSet(params) && !parseHex(cli.value(params), 9, state.params.data()))
        return fail(QStringLiteral("--params takes 9 bytes in hexadecimal (18 digits 0-9, A-F), "
                                   "not '%1'")
                        .arg(cli.value(params)));
    if (!cli.isSet(params)) {
        const QString m = cli.value(mode);
        uint code = 0;
        if (m == QLatin1String("reader"))
            code = 0;
        else if (m == QLatin1String("protected"))
            code = 1;
        else if (m == QLatin1String("key"))
            code = 2;
        else {
            code = m.toUInt(&ok);
            if (!ok || code > 255)
                return fail(QStringLiteral("--mode takes reader, protected, key or 0-255, not '%1'")
                                .arg(m));
        }
        state.params[0] = static_cast<uint8_t>(code);
    }
    if (cli.isSet(filters) && !parseHex(cli.value(filters), 32, state.filters.data()))
        return fail(QStringLiteral("--filters takes 32 bytes in hexadecimal (64 digits 0-9, "
                                   "A-F), not '%1'")
                        .arg(cli.value(filters)));
    state.masterMode = !cli.isSet(noMaster);
    // The boot loader generation that "Read param" selects for the model through "PROG pgm".
    const auto row = device::modelRow(static_cast<uint8_t>(std::min(modelCode, 255u)));
    emu::BootGeneration generation = row && row->progPgm == device::ProgPgm::Checked
                                         ? emu::BootGeneration::New
                                         : emu::BootGeneration::Old;
    if (cli.isSet(boot)) {
        if (cli.value(boot) == QLatin1String("old"))
            generation = emu::BootGeneration::Old;
        else if (cli.value(boot) == QLatin1String("new"))
            generation = emu::BootGeneration::New;
        else
            return fail(QStringLiteral("--boot takes old or new, not '%1'").arg(cli.value(boot)));
    }
    int blockCount = -1;
    if (cli.isSet(blocks)) {
        if (generation == emu::BootGeneration::Old)
            return fail(
                QStringLiteral("--blocks counts the block requests of a new-type boot "
                               "loader; an old-type one (--boot old, or the model's "
                               "default) asks for none"));
        blockCount = cli.value(blocks).toInt(&ok);
        if (!ok || blockCount < 0 || blockCount > 998)
            return fail(QStringLiteral("--blocks takes a number from 0 to 998, not '%1'")
                            .arg(cli.value(blocks)));
    }
    if (cli.isSet(makeRom)) {
        // An old-type image of --size bytes; a new-type one that fills the flash.
        // Without --model or --boot: the old-type image of the rehearsal.
        const bool newType =
            (cli.isSet(model) || cli.isSet(boot)) && generation == emu::BootGeneration::New;
        int bytes = newType ? (blockCount < 0 ? kDefaultNewBlocks : blockCount) * 262 + 4
                            : kDefaultRomImage;
        if (cli.isSet(size)) {
            bytes = cli.value(size).toInt(&ok);
            if (!ok || bytes < kMinRomImage || bytes > kMaxRomImage)
                return fail(QStringLiteral("--size takes a number from %1 to %2, not '%3'")
                                .arg(kMinRomImage)
                                .arg(kMaxRomImage)
                                .arg(cli.value(size)));
        }
        if (bytes < kMinRomImage) return fail(QStringLiteral("--blocks 0 makes no image"));
        QString error;
        if (!writeRom(cli.value(makeRom), bytes, &error)) return fail(error);
        std::printf("%s: a firmware file with an image of %d bytes\n",
                    qPrintable(cli.value(makeRom)), bytes);
        return 0;
    }
    int readers = 1;
    if (cli.isSet(count)) {
        readers = cli.value(count).toInt(&ok);
        if (!ok || readers < 1 || readers > 64)
            return fail(QStringLiteral("--count takes a number from 1 to 64, not '%1'")
                            .arg(cli.value(count)));
        if (readers > 1 && !wanted.isEmpty())
            return fail(QStringLiteral("--count takes free names of its own: give no COM name"));
    }
    const QString savePath = cli.value(save);
    if (cli.isSet(save)) {
        QString why;
        if (!writable(savePath, &why)) return fail(QStringLiteral("--save-image: ") + why);
    }

    // Ctrl+C, SIGTERM and a closed terminal all end the simulator through its clean-up; the
    // handlers are in place before the link exists.
    if (::pipe(signalPipe) != 0) return fail(QStringLiteral("no pipe"));
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    std::vector<std::unique_ptr<emu::PtyReader>> bench;
    QStringList names;
    std::mutex out;
    for (int i = 0; i < readers; ++i) {
        auto reader = std::make_unique<emu::PtyReader>();
        emu::PtyReader& r = *reader;
        r.withModel([&](emu::ReaderModel& m) { m.state = state; });
        r.withBootLoader([&](emu::BootLoader& b) {
            b.generation = generation;
            b.askFor(blockCount < 0 ? kDefaultNewBlocks : blockCount);
            b.stall = cli.isSet(stall);
        });
        r.setSilent(cli.isSet(silent));
        QString error;
        const QString name = claimName(wanted, r.slavePath(), &error);
        if (name.isEmpty()) {
            for (std::size_t k = 0; k < bench.size(); ++k)
                if (emu::unlinkPty(bench[k]->slavePath(), names[static_cast<qsizetype>(k)]))
                    QFile::remove(ownerFile(comlink::portLinkFolder() + QLatin1Char('/') +
                                            names[static_cast<qsizetype>(k)]));
            return fail(error);
        }
        const QString image =
            readers > 1 && !savePath.isEmpty() ? withName(savePath, name) : savePath;
        const std::string tag = readers > 1 ? qPrintable(name + QLatin1Char(' ')) : "";
        r.setMonitor(
            [&out, &r, image, tag](emu::Direction d, const emu::Bytes& bytes, bool bootLoader) {
                std::lock_guard lock(out);
                std::printf("%s %s%s %-40s %s\n", timestamp().c_str(), tag.c_str(),
                            d == emu::Direction::ToReader ? "->" : "<-", spacedHex(bytes).c_str(),
                            emu::describe(d, bytes, bootLoader).c_str());
                if (!image.isEmpty()) saveImage(image, r, d, bootLoader);
                std::fflush(stdout);
            });
        std::lock_guard lock(out);
        std::printf("torvik-reader-sim: a %s (model %u), firmware %s, %s boot loader, on %s\n",
                    row && row->named ? row->logName : "reader of an unknown model", modelCode,
                    qPrintable(cli.value(fw)),
                    generation == emu::BootGeneration::New ? "new-type" : "old-type",
                    qPrintable(name));
        std::printf("  %s -> %s\n", qPrintable(comlink::portLinkFolder() + QLatin1Char('/') + name),
                    r.slavePath().c_str());
        std::fflush(stdout);
        bench.push_back(std::move(reader));
        names << name;
    }
    {
        std::lock_guard lock(out);
        std::printf(
            "  Start torvik-config, pick %s in its port list and press \"Read param\".\n"
            "  Ctrl+C ends the simulator.\n",
            qPrintable(names.first()));
        if (cli.isSet(silent))
            std::printf("  No reader answers until kill -USR1 %lld.\n",
                        static_cast<long long>(::getpid()));
        std::fflush(stdout);
    }

    // SIGUSR1 connects the readers to their ports or disconnects them; anything else ends.
    struct sigaction usr {};
    usr.sa_handler = onSignal;
    sigaction(SIGUSR1, &usr, nullptr);
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(signalPipe[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1 || c != 'u') break;
        const bool nowSilent = !bench.front()->silent();
        for (auto& r : bench) r->setSilent(nowSilent);
        std::lock_guard lock(out);
        std::printf("torvik-reader-sim: %s\n",
                    nowSilent ? "readers disconnected: nothing answers" : "readers connected");
        std::fflush(stdout);
    }

    // Remove each link, and its owner file, only while it is still ours.
    for (std::size_t k = 0; k < bench.size(); ++k) {
        const QString name = names[static_cast<qsizetype>(k)];
        if (emu::unlinkPty(bench[k]->slavePath(), name))
            QFile::remove(ownerFile(comlink::portLinkFolder() + QLatin1Char('/') + name));
        std::printf("torvik-reader-sim: %s released\n", qPrintable(name));
    }
    return 0;
}
