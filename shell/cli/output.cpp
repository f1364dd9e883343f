#include "shell/cli/output.h"

#include <QByteArray>
#include <atomic>
#include <mutex>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

#include "shell/cli.h"

namespace cli {

std::atomic<bool> outputFailed{false};
std::atomic<int> stopSignal{0};

namespace {

thread_local PortOutput* threadOutput = nullptr;

std::atomic<bool> keeping{false};
std::mutex keptMutex;
QString kept;

}  // namespace

void setPortOutput(PortOutput* output) {
    threadOutput = output;
}

PortOutput* portOutput() {
    return threadOutput;
}

void keepOutput() {
    keeping = true;
}

QString keptOutput() {
    const std::lock_guard<std::mutex> lock(keptMutex);
    return kept;
}

void print(std::FILE* to, const QString& text, bool keptToo) {
    // A bar or a live row redrawn in place is no line of the output.
    if (keeping && keptToo && !text.startsWith(QLatin1Char('\r')) &&
        !text.contains(QLatin1Char('\x1b'))) {
        const std::lock_guard<std::mutex> lock(keptMutex);
        kept += text;
    }
    if (to == stdout && outputFailed) return;
    const QByteArray bytes = text.toUtf8();
    const std::size_t n = static_cast<std::size_t>(bytes.size());
    const bool ok = std::fwrite(bytes.constData(), 1, n, to) == n && std::fflush(to) == 0;
    if (!ok && to == stdout) outputFailed = true;
}

void out(const QString& line) {
    if (threadOutput) return threadOutput->line(false, line);
    print(stdout, line + QLatin1Char('\n'));
}

void err(const QString& line) {
    if (threadOutput) return threadOutput->line(true, line);
    print(stderr, QStringLiteral("torvik-cli: ") + line + QLatin1Char('\n'));
}

void progress(int percent, qint64 imageBytes, qint64 elapsedMs, const QString& logLine) {
    if (threadOutput) return threadOutput->progress(percent, imageBytes, elapsedMs, logLine);
    const bool terminal = stderrIsTerminal();
    const QString text = progressLine(terminal, percent, imageBytes, elapsedMs, logLine);
    print(stderr, terminal ? QStringLiteral("\r") + text : text + '\n');
}

void progressDone() {
    if (!threadOutput && stderrIsTerminal()) print(stderr, QStringLiteral("\n"));
}

bool stderrIsTerminal() {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

namespace {

extern "C" void onStopSignal(int sig) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, sig);
}

}  // namespace

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

}  // namespace cli
