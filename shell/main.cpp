#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>

#include "link/trace.h"
#include "shell/qln_boot_pgm.h"
#include "shell/signals.h"

namespace {

constexpr const char* kUsage =
    "Usage: torvik-config [--trace FILE] [--help | --version] [Qt options]\n"
    "A configurator for an access-control card reader on a serial (COM) port: pick the\n"
    "reader's port in the window, read and write its settings and card filters, and program\n"
    "new firmware into its boot loader from a .rom file.\n"
    "\n"
    "  --trace FILE   write every event of the port in use to FILE (- for standard\n"
    "                 error): time, port, device, event, bytes; for a fault report\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Everything else is done in the window. Qt's own options (-platform, -style, ...) are\n"
    "taken as Qt takes them. torvik-reader-sim starts a simulated reader to try it with.\n";

}  // namespace

int main(int argc, char* argv[]) {
    // Answered before any window system is needed, so that they work on any terminal.
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("torvik-config %s\n", TORVIK_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("torvik-config"));
    QApplication::setApplicationVersion(QStringLiteral(TORVIK_VERSION));
    // Qt has taken its own options out; anything left but --trace is not this program's.
    QStringList rest = QApplication::arguments().mid(1);
    QString trace;
    for (qsizetype i = 0; i < rest.size();) {
        if (rest[i] == QLatin1String("--trace") && i + 1 < rest.size()) {
            trace = rest[i + 1];
            rest.remove(i, 2);
        } else if (rest[i].startsWith(QLatin1String("--trace="))) {
            trace = rest[i].mid(8);
            rest.remove(i);
        } else {
            ++i;
        }
    }
    if (!rest.isEmpty()) {
        std::fprintf(stderr,
                     "torvik-config: unknown argument '%s' (the program takes none but --trace, "
                     "--help and --version; see torvik-config --help)\n",
                     qPrintable(rest.first()));
        return 2;
    }
    QString error;
    if (!trace.isEmpty() && !comlink::startTrace(trace, &error)) {
        std::fprintf(stderr, "torvik-config: %s\n", qPrintable(error));
        return 2;
    }
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("torvik-config"), QIcon(QStringLiteral(TORVIK_ICON))));
    TForm1 Form1;
    const SignalCloser signalCloser(&Form1);
    Form1.show();
    const int code = QApplication::exec();
    return signalCloser.exitCode(code);
}
