// torvik-cli-manual: torvik-cli's manual page from its template, with the synopsis of each
// command made from the command table and the exit codes from their table, so that the manual names
// exactly what the program takes.
//   torvik-cli-manual TEMPLATE > torvik-cli.1

#include <QFile>
#include <cstdio>

#include "device/bench.h"
#include "shell/cli/commands.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: torvik-cli-manual TEMPLATE\n", stderr);
        return 2;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "torvik-cli-manual: %s: %s\n", argv[1], qPrintable(in.errorString()));
        return 1;
    }
    QByteArray page = in.readAll();
    const QByteArray marker("@COMMANDS@\n");
    if (page.count(marker) != 1) {
        std::fprintf(stderr, "torvik-cli-manual: %s has no single @COMMANDS@ line\n", argv[1]);
        return 1;
    }
    page.replace(marker, cli::manualSynopsis().toUtf8());
    const QByteArray exitMarker("@EXIT_STATUS@\n");
    if (page.count(exitMarker) != 1) {
        std::fprintf(stderr, "torvik-cli-manual: %s has no single @EXIT_STATUS@ line\n", argv[1]);
        return 1;
    }
    page.replace(exitMarker, device::manualExitStatus().toUtf8());
    return std::fwrite(page.constData(), 1, page.size(), stdout) == std::size_t(page.size()) &&
                   std::fflush(stdout) == 0
               ? 0
               : 1;
}
