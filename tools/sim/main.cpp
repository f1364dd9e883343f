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
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "link/frame.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "tools/emulator/pty_reader.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t w = ::write(signalPipe[1], &c, 1);
}

bool parseHex(const QString& text, std::size_t count, uint8_t* out) {
    QString digits = text;
    digits.remove(QLatin1Char(' ')).remove(QLatin1Char(':'));
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
    std::string s;
    const std::size_t shown = std::min<std::size_t>(b.size(), 24);
    for (std::size_t i = 0; i < shown; ++i) {
        char d[4];
        std::snprintf(d, sizeof d, i ? " %02X" : "%02X", b[i]);
        s += d;
    }
    if (b.size() > shown) s += " ... (" + std::to_string(b.size()) + " bytes)";
    return s;
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
    for (const QString& name : candidates) {
        const QString link = folder + QLatin1Char('/') + name;
        // symlink() fails when the name is taken, so two simulators never share one.
        if (::symlink(pty.c_str(), QFile::encodeName(link).constData()) == 0) return name;
        if (!wanted.isEmpty())
            *error = QStringLiteral(
                         "%1 is taken: %2 already exists and is not this simulator's; "
                         "remove it or choose another name with --com.")
                         .arg(name, link);
    }
    if (error->isEmpty()) *error = QStringLiteral("no free COM name in %1").arg(folder);
    return {};
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvik-reader-sim"));

    QCommandLineParser cli;
    cli.setApplicationDescription(
        QStringLiteral(
            "A simulated card reader for torvik-config. It opens a pseudo-terminal and links it "
            "as\n"
            "a COM port in %1,\n"
            "so that the configurator lists it. Every exchange is printed here.\n\n"
            "Examples:\n"
            "  torvik-reader-sim                          a Torvik-N3 (model 15), firmware 1.7.1\n"
            "  torvik-reader-sim --com COM7 --model 4 --firmware 0.7.30\n"
            "  torvik-reader-sim --mode reader --params 00410000000A000000\n"
            "  torvik-reader-sim --boot new --blocks 12 --save-image received.rom")
            .arg(comlink::portLinkFolder()));
    cli.addHelpOption();
    const QCommandLineOption com(
        QStringLiteral("com"),
        QStringLiteral("The COM name to take, e.g. COM7 (default: the first free)."),
        QStringLiteral("name"));
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("Model code, 0 to 255 (default 15, Torvik-N3)."),
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
        QStringLiteral("New-type: how many blocks to ask for before asking for 999 (default: "
                       "block after block until the image has no more)."),
        QStringLiteral("n"));
    const QCommandLineOption save(
        QStringLiteral("save-image"),
        QStringLiteral("After a programming run, write the image received to this file."),
        QStringLiteral("file"));
    const QCommandLineOption check(
        QStringLiteral("check-ports"),
        QStringLiteral("Print the ports the configurator would list and exit: 0 if there is one, "
                       "1 if none."));
    for (const auto& o :
         {com, model, fw, mode, params, filters, noMaster, boot, blocks, save, check})
        cli.addOption(o);
    cli.process(app);

    if (cli.isSet(check)) {
        const comlink::ProbeResult probe = comlink::probePorts();
        for (const auto& p : probe.ports)
            std::printf("%s\t%s\n", qPrintable(p.name), qPrintable(p.device));
        const QString hint = comlink::leftOutHint(probe.leftOut, !probe.ports.empty());
        if (!hint.isEmpty()) std::fprintf(stderr, "%s\n", qPrintable(hint));
        return probe.ports.empty() ? 1 : 0;
    }

    auto fail = [](const QString& message) {
        std::fprintf(stderr, "torvik-reader-sim: %s\n", qPrintable(message));
        return 2;
    };

    emu::ReaderState state;
    bool ok = false;
    const uint modelCode = cli.value(model).toUInt(&ok);
    if (!ok || modelCode > 255) return fail(QStringLiteral("--model takes a number from 0 to 255"));
    const QStringList v = cli.value(fw).split(QLatin1Char('.'));
    if (v.size() != 3) return fail(QStringLiteral("--firmware takes three numbers, e.g. 1.7.1"));
    for (int i = 0; i < 3; ++i) {
        const uint part = v[i].toUInt(&ok);
        if (!ok || part > 255) return fail(QStringLiteral("--firmware parts go from 0 to 255"));
        state.version[2 - i] = static_cast<uint8_t>(part);
    }
    state.version[3] = static_cast<uint8_t>(modelCode);
    if (cli.isSet(params) && !parseHex(cli.value(params), 9, state.params.data()))
        return fail(QStringLiteral("--params takes 9 bytes in hexadecimal (18 digits)"));
    if (cli.isSet(mode) || !cli.isSet(params)) {
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
                return fail(QStringLiteral("--mode: reader, protected, key or 0-255"));
        }
        state.params[0] = static_cast<uint8_t>(code);
    }
    if (cli.isSet(filters) && !parseHex(cli.value(filters), 32, state.filters.data()))
        return fail(QStringLiteral("--filters takes 32 bytes in hexadecimal (64 digits)"));
    state.masterMode = !cli.isSet(noMaster);
    emu::BootGeneration generation =
        modelCode >= 10 && modelCode <= 16 ? emu::BootGeneration::New : emu::BootGeneration::Old;
    if (cli.isSet(boot)) {
        if (cli.value(boot) == QLatin1String("old"))
            generation = emu::BootGeneration::Old;
        else if (cli.value(boot) == QLatin1String("new"))
            generation = emu::BootGeneration::New;
        else
            return fail(QStringLiteral("--boot takes old or new"));
    }
    int blockCount = -1;
    if (cli.isSet(blocks)) {
        blockCount = cli.value(blocks).toInt(&ok);
        if (!ok || blockCount < 0 || blockCount > 998)
            return fail(QStringLiteral("--blocks takes a number from 0 to 998"));
    }
    if (cli.isSet(com) && comlink::comNumber(cli.value(com)) == 0)
        return fail(QStringLiteral("--com takes a name from COM1 to COM128"));

    // Ctrl+C, SIGTERM and a closed terminal all end the simulator through its clean-up; the
    // handlers are in place before the link exists.
    if (::pipe(signalPipe) != 0) return fail(QStringLiteral("no pipe"));
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    emu::PtyReader reader;
    reader.withModel([&](emu::ReaderModel& m) { m.state = state; });
    reader.withBootLoader([&](emu::BootLoader& b) {
        b.generation = generation;
        if (blockCount < 0)
            b.askForAll();
        else
            b.askFor(blockCount);
    });

    QString error;
    const QString name = claimName(cli.value(com), reader.slavePath(), &error);
    if (name.isEmpty()) return fail(error);
    const QString link = comlink::portLinkFolder() + QLatin1Char('/') + name;

    const QString savePath = cli.value(save);
    std::mutex out;
    reader.setMonitor([&](emu::Direction d, const emu::Bytes& bytes, bool bootLoader) {
        std::lock_guard lock(out);
        std::printf("%s %s %-40s %s\n", timestamp().c_str(),
                    d == emu::Direction::ToReader ? "->" : "<-", spacedHex(bytes).c_str(),
                    emu::describe(d, bytes, bootLoader).c_str());
        if (bootLoader && d == emu::Direction::FromReader && !savePath.isEmpty()) {
            const emu::BootLoader b = reader.bootLoader();
            if (b.finished && !b.image.empty()) {
                QFile f(savePath);
                if (f.open(QIODevice::WriteOnly)) {
                    f.write(reinterpret_cast<const char*>(b.image.data()),
                            static_cast<qint64>(b.image.size()));
                    std::printf("%s    image of %zu bytes written to %s\n", timestamp().c_str(),
                                b.image.size(), qPrintable(savePath));
                }
            }
        }
        std::fflush(stdout);
    });

    const char* models[] = {"QLN-M1",  "Torvik-M2", "Torvik-M3", "no model",  "QLN-M2",  "no model",
                            "QLN-E1",  "Torvik-E6", "no model",  "no model",  "Vexa-UM", "Vexa-M",
                            "Vexa-UC", "QLN-N2",    "Torvik-K2", "Torvik-N3", "QLN-N3"};
    std::printf("torvik-reader-sim: a %s (model %u), firmware %s, %s boot loader, on %s\n",
                modelCode <= 16 ? models[modelCode] : "reader of an unknown model", modelCode,
                qPrintable(cli.value(fw)),
                generation == emu::BootGeneration::New ? "new-type" : "old-type", qPrintable(name));
    std::printf("  %s -> %s\n", qPrintable(link), reader.slavePath().c_str());
    std::printf(
        "  Start torvik-config, pick %s in its port list and press \"Read param\".\n"
        "  Ctrl+C ends the simulator.\n",
        qPrintable(name));
    std::fflush(stdout);

    char c;
    while (::read(signalPipe[0], &c, 1) < 0 && errno == EINTR) {
    }

    // Remove the link only while it is still ours.
    if (QFileInfo(link).symLinkTarget() == QString::fromStdString(reader.slavePath()))
        QFile::remove(link);
    std::printf("torvik-reader-sim: %s released\n", qPrintable(name));
    return 0;
}
