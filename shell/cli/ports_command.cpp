// ports: the ports the window would list, and the one run() that dispatches every command.

#include "link/probe.h"
#include "link/trace.h"
#include "shell/cli/bench.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"
#include "shell/cli/support.h"

namespace cli {

int runPorts(Session&) {
    const comlink::ProbeResult probe = comlink::probePorts();
    for (const comlink::ProbedPort& p : probe.ports) {
        // The tool tip's first line is the device; what follows is what the system knows of the
        // adapter.
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

int run(const Options& options) {
    const CommandRow* c = command(options.command);
    if (!c) {
        err(QStringLiteral("unknown command \"%1\"").arg(options.command));
        return kUsage;
    }
    QString error;
    if (!options.trace.isEmpty() && !comlink::startTrace(options.trace, &error)) {
        err(error);
        return kUsage;
    }
    if (!options.supportRecord.isEmpty() && !openSupportRecord(options.supportRecord, &error)) {
        err(error);
        return kUsage;
    }
    setUpSignals();
    int code = kOk;
    if (c->port == PortUse::None || (c->port == PortUse::Optional && !options.portsGiven())) {
        Session session(options);
        code = c->run(session);
    } else {
        // The command's file is read once, before any port is opened.
        Options o = options;
        o.jobFile = std::make_shared<const JobFile>(readJobFile(options));
        code = o.severalPorts() ? runSeveral(o, *c) : runOnePort(o, *c);
    }
    if (!writeSupportRecord(&error)) {
        err(error);
        if (code == kOk) code = kFailed;
    }
    return code;
}

}  // namespace cli
