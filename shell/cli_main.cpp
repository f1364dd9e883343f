// torvik-cli: the configurator's operations from a shell.

#include <QApplication>
#include <cstdio>

#include "shell/cli.h"

int main(int argc, char* argv[]) {
    // The window is never shown: no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QStringList args;
    for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    const cli::Parsed parsed = cli::parseArguments(args);
    if (parsed.help) {
        std::fputs(qPrintable(cli::helpText()), stdout);
        return cli::kOk;
    }
    if (parsed.version) {
        std::printf("torvik-cli %s\n", TORVIK_VERSION);
        return cli::kOk;
    }
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "torvik-cli: %s; see torvik-cli --help\n",
                     parsed.error.toLocal8Bit().constData());
        return cli::kUsage;
    }
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("torvik-cli"));
    QApplication::setApplicationVersion(QStringLiteral(TORVIK_VERSION));
    return cli::run(parsed.options);
}
