// torvik-bench: how close the configurator comes to what the line and the boot loader's fixed
// waits allow, against the reader emulator paced at 9600 baud. Each figure is printed beside its
// bound. Run it from the build: ./build/bench/torvik-bench (add --quick to skip the
// programming runs of a 16 KiB image, from the window, from torvik-cli and on benches of 8 and 32
// readers, which take about 6 minutes).

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#ifdef __linux__
#include <malloc.h>
#endif

#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"
#include "shell/bench_window.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/ser2net.h"
#include "tools/emulator/port_link.h"

namespace {

// A port that takes every write and fills every read at once: what is left is the trace's cost.
class InstantPort final : public comlink::SerialPort {
public:
    bool open(const QString&) override { return true; }
    bool isOpen() const override { return true; }
    QString errorString() const override { return {}; }
    comlink::OpenFailure openFailure() const override { return comlink::OpenFailure::None; }
    void setGoneHandler(std::function<void()>) override {}
    comlink::LineSettings lineSettings() const override { return {}; }
    bool setLineSettings(const comlink::LineSettings&) override { return true; }
    comlink::Timeouts timeouts() const override { return {}; }
    bool setTimeouts(const comlink::Timeouts&) override { return true; }
    void purgeInput() override {}
    comlink::Transfer write(const uint8_t*, int n) override { return {n}; }
    comlink::Transfer read(uint8_t* p, int n) override {
        std::fill(p, p + n, uint8_t{0x55});
        return {n};
    }
    void close() override {}
};

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

long statusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field) + 1));
    return -1;
}

// The heap in use, in KiB (glibc's count of the bytes allocated and not freed).
double heapInUseKb() {
#if defined(__linux__) && defined(__GLIBC__)
    return static_cast<double>(mallinfo2().uordblks) / 1024.0;
#else
    return 0;
#endif
}

bool allWithinBounds = true;

void row(const char* what, double value, const char* unit, const std::string& bound, bool ok) {
    std::printf("%-58s %10.1f %-3s %-34s %s\n", what, value, unit, bound.c_str(),
                ok ? "ok" : "OVER");
    allWithinBounds = allWithinBounds && ok;
}

constexpr const char* kUsage =
    "Usage: torvik-bench [--quick] [--help | --version]\n"
    "Measures the configurator against the reader emulator paced at 9600 baud and prints each\n"
    "figure beside its bound: the port probe, start-up, memory, \"Read param\", the CPU spent\n"
    "waiting on a silent reader and after an unplug, and programming runs of a 16 KiB image\n"
    "from the window and from torvik-cli. Exits 1 when a figure is over its bound.\n"
    "\n"
    "  --quick        skip the programming runs, from the window, from torvik-cli and on\n"
    "                 eight and thirty-two readers at once\n"
    "                 (about 6 minutes)\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n";

// A Torvik-N3 (model 15) in protected mode: "Read param" is three exchanges.
void asTorvikN3(emu::PtyReader& reader) {
    reader.withModel([](emu::ReaderModel& m) {
        m.state.version = {1, 7, 1, 15};
        m.state.params = {0x01, 0x41, 0, 0, 0, 0x0A, 0, 0, 0};
    });
}

void pick(TForm1& form, const QString& name) {
    device::chooseEntry(form.cbCom, form.cbCom->findText(name));
}

double programmingRun(bool newType, const QString& rom) {
    emu::LinkedReader com{6};
    TForm1 form;
    pick(form, com.name());
    form.loadFirmware(rom);
    com.reader.withBootLoader([&](emu::BootLoader& b) {
        b.generation = newType ? emu::BootGeneration::New : emu::BootGeneration::Old;
        b.askForAll();
    });
    com.reader.enterBootLoader();
    form.cbProgPgm->setChecked(newType);
    QElapsedTimer t;
    t.start();
    form.btPGM->click();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

// The same run from torvik-cli: "Read param" (of a model whose boot loader is of that type),
// "Go to the BOOT" and "PGM"; the CLI times its "PGM" as the window's is timed above. -1 when
// the CLI said no time.
double cliProgrammingRun(bool newType, const QString& rom, bool throughSer2net = false) {
    emu::LinkedReader com{7};
    com.reader.withModel([&](emu::ReaderModel& m) {
        m.state.version = {1, 7, 1, newType ? uint8_t{15} : uint8_t{4}};
    });
    com.reader.withBootLoader([&](emu::BootLoader& b) {
        b.generation = newType ? emu::BootGeneration::New : emu::BootGeneration::Old;
        b.askForAll();
    });
    // Or the same reader behind ser2net on the loopback, through RFC 2217.
    std::unique_ptr<th::Ser2net> server;
    if (throughSer2net) {
        server = std::make_unique<th::Ser2net>(
            std::vector<th::Ser2net::Line>{{QString::fromStdString(com.reader.slavePath())}});
        if (!server->running()) return -1;
    }
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME",
               QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(TORVIK_CLI_PATH),
              {"--port", server ? server->url(0) : com.name(), "program", rom,
               newType ? "--prog-pgm" : "--no-prog-pgm"});
    // The time of the run, whatever its outcome: a new-type run of this image ends with "File
    // size exceeded!", which is no delivery (exit 1), as the window's timed run ends.
    if (!cli.waitForFinished(300000)) return -1;
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("the run took (\\d+) ms")).match(err);
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

// torvik-cli's "program" of the image on n readers of model 4 at once (one --port list): the
// wall time and the CPU time of the whole process, in ms; a wall time of -1 when a reader did not
// get the image.
struct BenchRun {
    double wallMs = -1;
    double cpuMs = 0;
};
BenchRun benchOfReaders(int n, const QString& rom) {
    std::vector<std::unique_ptr<emu::LinkedReader>> readers;
    QStringList ports;
    for (int i = 0; i < n; ++i) {
        readers.push_back(std::make_unique<emu::LinkedReader>(20 + i));
        readers.back()->reader.withModel([](emu::ReaderModel& m) {
            m.state.version = {1, 7, 1, 4};
        });
        ports << readers.back()->name();
    }
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME",
               QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    cli.setProcessEnvironment(env);
    BenchRun r;
#ifdef Q_OS_UNIX
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
#endif
    QElapsedTimer t;
    t.start();
    cli.start(QStringLiteral(TORVIK_CLI_PATH), {"--port", ports.join(','), "program", rom});
    const bool ok = cli.waitForFinished(600000) && cli.exitCode() == 0;
    const double wall = static_cast<double>(t.nsecsElapsed()) / 1e6;
#ifdef Q_OS_UNIX
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    auto ms = [](const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
    r.cpuMs = ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
#endif
    if (ok) r.wallMs = wall;
    return r;
}

// The bench window with n readers programming at once: how long a click on one of its buttons
// waits for the window, the worst of those sent every 25 ms through the run, and how often the
// table was drawn.
struct WindowBench {
    double worstClickMs = -1;
    double drawsPerSecond = 0;
    int clicks = 0;
    bool allDone = false;
};
WindowBench benchWindowRun(int n, const QString& rom) {
    std::vector<std::unique_ptr<emu::LinkedReader>> readers;
    for (int i = 0; i < n; ++i) {
        readers.push_back(std::make_unique<emu::LinkedReader>(40 + i));
        asTorvikN3(readers.back()->reader);
        readers.back()->reader.withBootLoader([](emu::BootLoader& b) {
            b.generation = emu::BootGeneration::New;
            b.askFor(8);
        });
    }
    QTemporaryDir dir;
    TForm1 form;
    BenchWindow* bench = form.showBench();
    bench->refreshRows();
    for (const auto& r : readers) bench->setTicked(r->name(), true);
    bench->cbJob->setCurrentIndex(int(device::UnitJob::Program));
    bench->setImageFile(rom);
    bench->setRecordFile(dir.filePath("units.jsonl"));
    WindowBench w;
    QElapsedTimer clicked;
    QObject::connect(bench->btTickAll, &QPushButton::clicked, [&] {
        w.worstClickMs =
            std::max(w.worstClickMs, static_cast<double>(clicked.nsecsElapsed()) / 1e6);
        ++w.clicks;
    });
    const int draws0 = bench->draws();
    QElapsedTimer t;
    t.start();
    if (!bench->start()) return w;
    while (bench->running()) {
        // A click as the window system delivers it: press and release, queued behind whatever
        // the window has to do.
        const QPointF at(4, 4);
        clicked.start();
        QCoreApplication::postEvent(
            bench->btTickAll, new QMouseEvent(QEvent::MouseButtonPress, at, at, at, Qt::LeftButton,
                                              Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(bench->btTickAll,
                                    new QMouseEvent(QEvent::MouseButtonRelease, at, at, at,
                                                    Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
        QEventLoop wait;
        QTimer::singleShot(25, &wait, &QEventLoop::quit);
        wait.exec();
    }
    w.drawsPerSecond = (bench->draws() - draws0) * 1000.0 / static_cast<double>(t.elapsed());
    w.allDone = true;
    for (const auto& r : readers) {
        w.allDone = w.allDone && bench->rowCode(r->name()) == 0;
        if (bench->rowCode(r->name()) != 0)
            std::fprintf(stderr, "%s: %s\n", qPrintable(r->name()),
                         qPrintable(bench->cellText(r->name(), BenchWindow::kColOutcome)));
    }
    return w;
}

// The bench window watching n ports while `units` readers come and go: each reader is read once
// ("Read param", its backup and its record), then stops answering as if unplugged, and the next
// one on that port answers. The heap kept per unit, between the first fifth of the units and
// the last.
struct WatchMemory {
    double kibPerUnit = 0;
    int units = 0;
    bool ok = false;
};
WatchMemory watchMemory(int n, int units) {
    std::vector<std::unique_ptr<emu::LinkedReader>> readers;
    for (int i = 0; i < n; ++i) {
        readers.push_back(std::make_unique<emu::LinkedReader>(40 + i));
        asTorvikN3(readers.back()->reader);
    }
    QTemporaryDir dir;
    TForm1 form;
    BenchWindow* bench = form.showBench();
    bench->refreshRows();
    for (const auto& r : readers) bench->setTicked(r->name(), true);
    bench->cbJob->setCurrentIndex(int(device::UnitJob::Backup));
    bench->setRecordFile(dir.filePath("units.jsonl"));
    bench->cbWatch->setChecked(true);
    WatchMemory w;
    if (!bench->start()) return w;
    // Per port: the units seen, and when its reader went silent (0: it answers).
    std::vector<int> seen(static_cast<std::size_t>(n), 0);
    std::vector<qint64> silentSince(static_cast<std::size_t>(n), 0);
    QElapsedTimer clock;
    clock.start();
    double heapAtFifth = -1;
    int unitsAtFifth = 0;
    while (bench->unitsDone() < units && clock.elapsed() < 900000) {
        QEventLoop wait;
        QTimer::singleShot(50, &wait, &QEventLoop::quit);
        wait.exec();
        for (int i = 0; i < n; ++i) {
            const std::size_t k = static_cast<std::size_t>(i);
            emu::PtyReader& reader = readers[k]->reader;
            const int done = bench->rowUnits(readers[k]->name());
            if (done > seen[k] && silentSince[k] == 0) {
                // Read: unplugged. The watch takes the next one once two requests went unanswered.
                seen[k] = done;
                reader.setSilent(true);
                // The emulator in this process records every byte it receives: not the window's.
                reader.clearReceived();
                silentSince[k] = clock.elapsed();
            } else if (silentSince[k] && clock.elapsed() - silentSince[k] > 6000) {
                reader.setSilent(false);  // the next reader
                silentSince[k] = 0;
            }
        }
        if (heapAtFifth < 0 && bench->unitsDone() >= units / 5) {
            heapAtFifth = heapInUseKb();
            unitsAtFifth = bench->unitsDone();
        }
    }
    const double heapAtEnd = heapInUseKb();
    w.units = bench->unitsDone();
    bench->stop();
    while (bench->running()) {
        QEventLoop wait;
        QTimer::singleShot(50, &wait, &QEventLoop::quit);
        wait.exec();
    }
    w.ok = w.units >= units && heapAtFifth >= 0;
    if (w.units > unitsAtFifth) w.kibPerUnit = (heapAtEnd - heapAtFifth) / (w.units - unitsAtFifth);
    return w;
}

}  // namespace

int main(int argc, char* argv[]) {
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("torvik-bench %s\n", TORVIK_VERSION);
            return 0;
        }
        if (a != "--quick") {
            std::fprintf(stderr, "torvik-bench: unknown argument '%s'; see torvik-bench --help\n",
                         argv[i]);
            return 2;
        }
        quick = true;
    }
    const QElapsedTimer sinceStart = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    QDir().mkpath(home.path() + "/dev");
    comlink::setDeviceRoot(home.path() + "/dev");
    QDir().mkpath(comlink::portLinkFolder());
    const double byteMs = emu::kByteTimeMs;

    std::printf("%-58s %10s %-3s %-34s\n", "figure", "value", "", "bound");

    // Start-up: the window shown, first of all, so that nothing the bench itself does (the
    // readers of the rows below) counts as the program's start.
    {
        TForm1 form;
        form.show();
        QApplication::processEvents();
        const double ms = static_cast<double>(sinceStart.nsecsElapsed()) / 1e6;
        row("process start to window shown", ms, "ms", "(reported)", true);
        row("peak memory at rest (VmHWM)", statusKb("VmHWM:") / 1024.0, "MiB", "(reported)", true);
        QTemporaryDir dir;
        QByteArray image(1 << 20, '\x5A');
        image.replace(image.size() - 4, 4, QByteArray(4, 0));
        QFile f(dir.filePath("big.rom"));
        f.open(QIODevice::WriteOnly);
        f.write(image);
        f.close();
        form.loadFirmware(dir.filePath("big.rom"));
        row("peak memory with a 1 MiB image loaded (VmHWM)", statusKb("VmHWM:") / 1024.0, "MiB",
            "(reported)", form.FOPEN);
    }

    // The probe of 128 absent ports.
    {
        QElapsedTimer t;
        t.start();
        const comlink::ProbeResult probe = comlink::probePorts();
        const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
        row("port probe of COM1-COM128, none present", ms, "ms", "< 20 ms",
            ms < 20 && probe.ports.empty());
    }
    // The probe of 64 live ports (readers on pseudo-terminals): each costs an open and a close,
    // and no walk of /sys, which only an adapter's description needs.
    {
        std::vector<std::unique_ptr<emu::LinkedReader>> live;
        for (int n = 1; n <= 64; ++n) live.push_back(std::make_unique<emu::LinkedReader>(n));
        const double cpu0 = threadCpuMs();
        const comlink::ProbeResult probe = comlink::probePorts();
        const double perPort = (threadCpuMs() - cpu0) / 64.0;
        row("port probe, CPU per live port (64 ptys)", perPort, "ms", "< 3 ms",
            perPort < 3 && probe.ports.size() == 64);
    }
    // "Read param" of a Torvik-N3 in protected mode: three exchanges.
    {
        emu::LinkedReader com{3};
        asTorvikN3(com.reader);
        TForm1 form;
        pick(form, com.name());
        double best = 1e9;
        const qsizetype traceBefore = comlink::traceRing().count('\n');
        for (int i = 0; i < 5; ++i) {
            // Reads a user's time apart: the backup of the one before is written meanwhile, beside
            // the window, and is no part of this one.
            QThread::msleep(200);
            QElapsedTimer t;
            t.start();
            form.btVersion->click();
            best = std::min(best, static_cast<double>(t.nsecsElapsed()) / 1e6);
        }
        const int requestBytes = 3 * 7, replyBytes = 11 + 16 + 39;
        const double lineAll = (requestBytes + replyBytes) * byteMs;
        // The pty carries the requests at once; the emulator paces its replies, each n-byte
        // reply spanning (n - 1) byte times from its first byte to its last.
        const double paced = (replyBytes - 3) * byteMs;
        row("Read param, model 15 protected: wall time (best of 5)", best, "ms",
            "line " + std::to_string(static_cast<int>(lineAll)) + " ms for 87 bytes", true);
        row("  overhead beyond the paced replies", best - paced, "ms", "< 2 ms", best - paced < 2);

        // The same reader behind ser2net on the loopback (RFC 2217, the README's settings).
        {
            emu::LinkedReader behind{5};
            asTorvikN3(behind.reader);
            th::Ser2net server({{QString::fromStdString(behind.reader.slavePath())}});
            TForm1 remote;
            remote.cbCom->addItem(server.url(0));
            pick(remote, server.url(0));
            double bestNet = 1e9;
            for (int i = 0; i < 5 && server.running(); ++i) {
                QThread::msleep(200);
                QElapsedTimer t;
                t.start();
                remote.btVersion->click();
                bestNet = std::min(bestNet, static_cast<double>(t.nsecsElapsed()) / 1e6);
            }
            const bool read =
                remote.mm->toPlainText().contains(QStringLiteral("VERSION  15.1.7.1"));
            row("Read param, the same through ser2net (RFC 2217, loopback)", bestNet, "ms",
                "line " + std::to_string(static_cast<int>(lineAll)) + " ms + 20 ms",
                read && bestNet <= lineAll + 20);
        }

        // The wire trace that every port keeps in memory, measured on its own: its lines of one
        // "Read param" (the window's port writes no trace file here) at the CPU cost of a line.
        const double linesPerRead =
            static_cast<double>(comlink::traceRing().count('\n') - traceBefore) / 5;
        auto port = comlink::traced(std::make_unique<InstantPort>(), QStringLiteral("COM3"));
        uint8_t reply[39];
        const uint8_t request[] = {0x02, 0x07, 0x07, 0x28, 0x00, 0x38, 0x00};
        constexpr int kRounds = 20000;  // 4 lines each
        const double cpu0 = threadCpuMs();
        for (int i = 0; i < kRounds; ++i) {
            port->purgeInput();
            port->write(request, 7);
            port->read(reply, 3);
            port->read(reply, 36);
        }
        const double perLineMs = (threadCpuMs() - cpu0) / (4.0 * kRounds);
        const double traceUs = perLineMs * 1000 * linesPerRead;
        row("  of it, the wire trace kept in memory (CPU, per Read param)", traceUs, "us",
            std::to_string(static_cast<int>(linesPerRead)) + " lines; < 100 us",
            traceUs < 100 && linesPerRead > 0);
    }

    // Memory the main window keeps for each "Read param": the growth of the resident set and of
    // the heap in use over many reads of one reader, and of it what the log holds (what clearing
    // it frees: its text, its blocks and their layouts) and the log's text alone (UTF-16).
    {
        emu::LinkedReader com{6};
        asTorvikN3(com.reader);
        TForm1 form;
        pick(form, com.name());
        for (int i = 0; i < 20; ++i) form.btVersion->click();  // what the first reads set up
        QApplication::processEvents();
        const long rss0 = statusKb("VmRSS:");
        const double heap0 = heapInUseKb();
        const qsizetype chars0 = form.mm->document()->characterCount();
        const qsizetype blocks0 = form.mm->document()->blockCount();
        constexpr int kReads = 240;
        for (int i = 0; i < kReads; ++i) {
            form.btVersion->click();
            QApplication::processEvents();
        }
        const double rssPerRead = static_cast<double>(statusKb("VmRSS:") - rss0) / kReads;
        const double heap1 = heapInUseKb();
        const double textPerRead =
            static_cast<double>(form.mm->document()->characterCount() - chars0) * 2 / 1024 / kReads;
        const double linesPerRead =
            static_cast<double>(form.mm->document()->blockCount() - blocks0) / kReads;
        form.mm->clear();
        const double logPerRead = (heap1 - heapInUseKb()) / kReads;
        row("main window: resident memory growth per Read param (240)", rssPerRead, "KiB",
            "(reported)", true);
        row("  heap kept per Read param", (heap1 - heap0) / kReads, "KiB", "(reported)", true);
        row("  of it, the log (its text, blocks and layouts)", logPerRead, "KiB",
            "(reported; " + std::to_string(static_cast<int>(linesPerRead)) + " lines a read)",
            true);
        row("  of it, the log's text alone", textPerRead, "KiB", "(reported)", true);
        // The rest, over 240 more reads with the log cleared after each: what grows beside the
        // log, if anything does.
        const double heap2 = heapInUseKb();
        for (int i = 0; i < kReads; ++i) {
            form.btVersion->click();
            QApplication::processEvents();
            form.mm->clear();
            // The emulator in this process records every byte it receives: not the window's.
            com.reader.clearReceived();
        }
        const double restPerRead = (heapInUseKb() - heap2) / kReads;

        row("  beside the log (240 more, the log cleared after each)", restPerRead, "KiB",
            "(reported)", true);
    }

    // The bench window with 64 readers programming at once (new-type, 8 blocks each).
    {
        QTemporaryDir dir;
        QByteArray image(8 * 262 + 4, 0);
        for (int i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
        image.replace(image.size() - 4, 4, QByteArray(4, 0));
        QFile f(dir.filePath("fw8.rom"));
        f.open(QIODevice::WriteOnly);
        f.write(image);
        f.close();
        const WindowBench w = benchWindowRun(64, dir.filePath("fw8.rom"));
        row("bench window, 64 readers programming: worst click wait", w.worstClickMs, "ms",
            std::to_string(w.clicks) + " clicks; < 50 ms",
            w.allDone && w.clicks > 0 && w.worstClickMs < 50);
        row("  table redraws a second", w.drawsPerSecond, "/s", "<= 10, and one at the end",
            w.drawsPerSecond <= 10.5);
    }

    // CPU spent while a silent reader makes the exchange wait out its 2 s.
    {
        emu::LinkedReader com{4};
        com.reader.script(emu::Action::silence());
        TForm1 form;
        pick(form, com.name());
        const uint8_t request[] = {0x02, 0x07, 0x07, 0x28, 0x00, 0x38, 0x00};
        const double cpu0 = threadCpuMs();
        QElapsedTimer t;
        t.start();
        form.writePage2(request, 7);
        const double cpu = threadCpuMs() - cpu0;
        row("CPU time during a 2 s wait on a silent reader", cpu, "ms", "< 20 ms", cpu < 20);
    }

    // CPU spent by an idle window for 3 s after the open port's adapter was pulled out.
    {
        emu::LinkedReader com{5};
        TForm1 form;
        pick(form, com.name());
        form.btVersion->click();
        com.reader.hangUp();
        const double cpu0 = threadCpuMs();
        QEventLoop idle;
        QTimer::singleShot(3000, &idle, &QEventLoop::quit);
        idle.exec();
        const double cpu = threadCpuMs() - cpu0;
        row("CPU time in 3 s of an idle window after an unplug", cpu, "ms", "< 20 ms", cpu < 20);
    }

    if (!quick) {
        QTemporaryDir dir;
        const int size = 16 * 1024;
        QByteArray image(size, 0);
        for (int i = 0; i < size; ++i) image[i] = static_cast<char>(i * 31);
        image.replace(size - 4, 4, QByteArray(4, 0));
        QFile f(dir.filePath("fw16k.rom"));
        f.open(QIODevice::WriteOnly);
        f.write(image);
        f.close();
        // Old-type: 125 blocks of 132 bytes, each 20 ms + 400 ms + 1 ms of fixed waits, then
        // the end frame's 400 ms.
        const int oldBlocks = (size + 131) / 132;
        const double oldBound = oldBlocks * (20 + 400 + 1) + 400;
        const double oldMs = programmingRun(false, dir.filePath("fw16k.rom"));
        row("PGM, 16 KiB image, old-type (125 blocks)", oldMs, "ms",
            "bound " + std::to_string(static_cast<int>(oldBound)) + " ms, +1 %",
            oldMs < oldBound * 1.01 && oldMs >= oldBound);
        // New-type: PROG, then the blocks the image holds past the length rule (block n goes while
        // (n + 1) x 262 < size), then "File size exceeded!" and the end frame.
        const int newBlocks = (size - 1) / 262;
        const double newBound = (1 + newBlocks) * (20 + 400 + 1) + 400;
        const double newMs = programmingRun(true, dir.filePath("fw16k.rom"));
        row("PGM, 16 KiB image, new-type (PROG + 62 blocks)", newMs, "ms",
            "bound " + std::to_string(static_cast<int>(newBound)) + " ms, +1 %",
            newMs < newBound * 1.01 && newMs >= newBound);
        // torvik-cli drives the same handlers: its runs take no longer than the window's.
        const double oldCli = cliProgrammingRun(false, dir.filePath("fw16k.rom"));
        row("PGM, 16 KiB image, old-type, from torvik-cli", oldCli, "ms",
            "window's " + std::to_string(static_cast<int>(oldMs)) + " ms, +1 %",
            oldCli >= 0 && oldCli <= oldMs * 1.01);
        const double oldNet = cliProgrammingRun(false, dir.filePath("fw16k.rom"), true);
        row("  the same through ser2net (RFC 2217, loopback)", oldNet, "ms",
            "pty's " + std::to_string(static_cast<int>(oldCli)) + " ms, x 1.02",
            oldNet >= 0 && oldCli >= 0 && oldNet <= oldCli * 1.02);
        const double newCli = cliProgrammingRun(true, dir.filePath("fw16k.rom"));
        row("PGM, 16 KiB image, new-type, from torvik-cli", newCli, "ms",
            "window's " + std::to_string(static_cast<int>(newMs)) + " ms, +1 %",
            newCli >= 0 && newCli <= newMs * 1.01);
        // A day at the bench: the window watching 64 ports while a thousand readers come and go.
        const WatchMemory day = watchMemory(64, 1000);
        row("bench window, watch over 1000 readers: heap kept per unit", day.kibPerUnit, "KiB",
            std::to_string(day.units) + " units (reported)", day.ok);
        // A bench of readers at once takes what one takes alone; the CPU each reader adds is
        // reported (docs/performance.md says what it is spent on).
        const BenchRun one = benchOfReaders(1, dir.filePath("fw16k.rom"));
        for (const int n : {8, 32}) {
            const BenchRun many = benchOfReaders(n, dir.filePath("fw16k.rom"));
            const std::string what =
                std::to_string(n) + " readers at once, 16 KiB old-type, " + "torvik-cli: wall time";
            row(what.c_str(), many.wallMs, "ms",
                "one alone " + std::to_string(static_cast<int>(one.wallMs)) + " ms, x 1.05",
                one.wallMs > 0 && many.wallMs > 0 && many.wallMs <= one.wallMs * 1.05);
            row("  CPU time of the whole run", many.cpuMs, "ms",
                "one alone " + std::to_string(static_cast<int>(one.cpuMs)) + " ms (reported)",
                true);
            row("  CPU time each reader adds beyond the first", (many.cpuMs - one.cpuMs) / (n - 1),
                "ms", "(reported)", true);
        }
    }
    return allWithinBounds ? 0 : 1;
}
