// torvik-cli: the configurator's operations from a shell.

#include <QCoreApplication>
#include <cstdio>

#include "link/port_names.h"
#include "shell/cli.h"

int main(int argc, char* argv[]) {
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
    if (!parsed.completion.isEmpty()) {
        std::fputs(qPrintable(cli::completionScript(parsed.completion)), stdout);
        return std::fflush(stdout) == 0 ? cli::kOk : cli::kOutputFailed;
    }
    // No window system: only the event loop's thread that the serial port wants.
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvik-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVIK_VERSION));
    if (parsed.completePorts) {
        for (const QString& name : comlink::namesWithDevice())
            std::printf("%s\n", qPrintable(name));
        return std::fflush(stdout) == 0 ? cli::kOk : cli::kOutputFailed;
    }
    return cli::run(parsed.options);
}
