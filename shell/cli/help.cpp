// --help and the manual's synopsis, made from the command table.

#include "shell/cli/commands.h"

namespace cli {

namespace {

// The column where a command's description starts in --help.
constexpr int kAboutColumn = 22;

}  // namespace

QString helpText() {
    QString commandList;
    for (const CommandRow& c : commands()) {
        for (const Usage& u : c.usages) {
            QString last;
            for (const QString& line : u.lines) {
                if (!last.isEmpty()) commandList += last + '\n';
                last = QStringLiteral("  ") + line;
            }
            const QString indent(kAboutColumn, QLatin1Char(' '));
            if (last.size() < kAboutColumn)
                commandList += last.leftJustified(kAboutColumn) + u.about.first() + '\n';
            else
                commandList += last + '\n' + indent + u.about.first() + '\n';
            for (qsizetype i = 1; i < u.about.size(); ++i)
                commandList += indent + u.about[i] + '\n';
        }
    }
    return QStringLiteral(
               "Usage: torvik-cli [--help | --version | --completion bash|zsh|fish]\n"
               "       torvik-cli ports\n"
               "       torvik-cli [--trace FILE] --port COMn|DEVICE COMMAND [options]\n"
               "       torvik-cli [--trace FILE] [--port PORT[,PORT]...]... [--all] [--watch]\n"
               "                  [--units FILE [--retry-failed]] [--jobs N] [--json] COMMAND "
               "[options]\n"
               "The operations of torvik-config's window, for scripts: the reader gets exactly "
               "what\n"
               "the window would send for the same choices. Only the port given is opened.\n"
               "\n"
               "Commands:\n") +
           commandList +
           QStringLiteral(
               "\n"
               "--trace FILE writes every event of the port (open, set, purge, write, read, "
               "timeout,\n"
               "close) with its time and bytes to FILE, - for standard error.\n"
               "A port may be a reader behind a network serial server (such as ser2net), wherever\n"
               "a port is taken: rfc2217://HOST:PORT sets the line as a local port is set (9600\n"
               "baud, 8 data bits, no parity, one stop bit, no flow control), each setting "
               "checked\n"
               "with the server; socket://HOST:PORT carries the bytes only, so the server's "
               "device\n"
               "must already be set so. HOST is a name, an IPv4 address or [an IPv6 address].\n"
               "Several ports at once: --port takes a comma-separated list and may be given more\n"
               "than once, --all adds every port that \"ports\" lists, and --watch every reader\n"
               "that appears after the start (an adapter plugged in, a reader that starts to\n"
               "answer on a port given), until Ctrl+C. Each port runs on its own; each line says\n"
               "whose it is, --json prints JSON Lines events, and a summary ends the run.\n"
               "--units FILE appends one JSON line for each reader done: its record.\n"
               "--jobs N runs at most N ports at once; the others wait their turn (default: "
               "all).\n"
               "--retry-failed runs the command again on each port given (--port, --all) whose "
               "last\n"
               "record of that command in the --units FILE did not succeed, and on no other.\n"
               "--support-record FILE writes, at the end, one file for support: the versions, "
               "the\n"
               "ports, the settings last read, the output and the wire trace of the run, which "
               "is\n"
               "kept in memory whether or not --trace is given.\n"
               "--completion prints the shell's completion script.\n"
               "Every \"Read param\" that reads a parameter block is also kept in\n"
               "~/.local/share/torvik-config/backups ($XDG_DATA_HOME), the newest 1000.\n"
               "KEY is a box's control name (cbLock, cbFilter2, ...; read --json lists them), or "
               "its\n"
               "caption where no other box has it. The log lines go to standard output, message "
               "boxes\n"
               "and progress to standard error. SIGINT, SIGTERM and SIGHUP stop a run as \"Stop\" "
               "does\n"
               "(the end frame is sent) and any other operation once its exchange is over.\n"
               "\n"
               "Exit status:\n"
               "  0    the good verdict (\"OK\", \"OK: Filter write.\"); for program, the "
               "firmware\n"
               "       delivered: old-type every block accepted and \"Transmission OK\", "
               "new-type\n"
               "       \"END OF PGM\" after every block of the image\n"
               "  1    the reader refused or did not answer, or the firmware was not delivered\n"
               "  2    a usage error, an unknown port or an unreadable file\n"
               "  3    the port cannot be opened (in use, no permission, not a serial device,\n"
               "       a network server that cannot be reached or refuses)\n"
               "  4    the reader answers as its boot loader: program it with --in-boot\n"
               "  5    standard output could not be written\n"
               "  6    several ports: at least one did not succeed (its own code is in the "
               "summary)\n"
               "  129, 130, 143\n"
               "       stopped by SIGHUP, SIGINT (Ctrl+C) or SIGTERM; a signal's code wins\n");
}

QString manualSynopsis() {
    // A line a usage, as the manual's SYNOPSIS shows it: the program and the command in bold,
    // the port where the command takes one, the rest as typed.
    auto roff = [](QString text) {
        text.replace(QLatin1Char('\\'), QStringLiteral("\\e"));
        text.replace(QLatin1Char('-'), QStringLiteral("\\-"));
        return text;
    };
    QString page;
    for (const CommandRow& c : commands())
        for (const Usage& u : c.usages) {
            QStringList words;
            for (const QString& line : u.lines) words << line.simplified();
            QString rest = words.join(QLatin1Char(' ')).mid(qstrlen(c.name));
            page += QStringLiteral(".br\n");
            if (c.port == PortUse::Required)
                page += QStringLiteral(
                    "\\fBtorvik\\-cli\\fR [\\fB\\-\\-trace\\fR \\fIFILE\\fR] "
                    "\\fB\\-\\-port\\fR \\fICOMn\\fR|\\fIDEVICE\\fR ");
            else
                page += QStringLiteral("\\fBtorvik\\-cli\\fR ");
            page += QStringLiteral("\\fB%1\\fR%2\n").arg(roff(QLatin1String(c.name)), roff(rest));
        }
    return page;
}

}  // namespace cli
