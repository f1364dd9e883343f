// The command table, and the parsing of the arguments made from it.

#include <QCommandLineParser>
#include <array>

#include "device/settings.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "shell/cli/commands.h"

namespace cli {

namespace {

constexpr std::array<OptionRow, 15> kOptions{{
    {"json", nullptr},
    {"protocol", "TEXT|INDEX", Values::ProtocolEntries},
    {"type-code", "TEXT|INDEX", Values::TypeCodeEntries},
    {"protocol2", "TEXT|INDEX", Values::SecondEntries},
    {"set", "KEY=0|1", Values::BoxNames},
    {"open-time", "MS"},
    {"prog-pgm", nullptr},
    {"no-prog-pgm", nullptr},
    {"avto-set-filter", nullptr},
    {"in-boot", nullptr},
    {"stall-timeout", "SECONDS"},
    {"allow-other-model", nullptr},
    {"dry-run", nullptr},
    {"only", "KEY[,KEY...]", Values::SettingNames},
    {"except", "KEY[,KEY...]", Values::SettingNames},
}};

constexpr std::array<OptionRow, 8> kRunOptions{{
    {"port", "COMn"},
    {"trace", "file", Values::File},
    {"all", nullptr},
    {"watch", nullptr},
    {"units", "file", Values::File},
    {"jobs", "N"},
    {"retry-failed", nullptr},
    {"support-record", "file", Values::File},
}};

// clang-format off
const std::vector<CommandRow>& table() {
    static const std::vector<CommandRow> t{
        {.name = "ports",
         .usages = {{{"ports"}, {"the ports the window would list: name, device, adapter"}}},
         .port = PortUse::None, .before = Before::Nothing, .run = runPorts},
        {.name = "read",
         .options = {"json"},
         .usages = {{{"read [--json]"},
                     {"\"Read param\"; prints the log lines, or one JSON object with",
                      "the settings under their control names and the raw blocks"}}},
         .before = Before::ReadParam, .run = runRead},
        {.name = "write",
         .options = {"protocol", "type-code", "protocol2", "set", "open-time"},
         .setBoxes = SetBoxes::Options,
         .usages = {{{"write [--protocol TEXT|INDEX] [--type-code TEXT|INDEX] [--protocol2 TEXT|INDEX]",
                      "      [--set \"KEY=0|1\"]... [--open-time MS]"},
                     {"\"Read param\", the changes as a user makes them, \"Write param\""}}},
         .sayBackup = true, .run = runWrite},
        {.name = "factory-settings",
         .usages = {{{"factory-settings"},
                     {"\"Read param\", \"Factory Settings\", \"Write param\""}}},
         .sayBackup = true, .run = runFactorySettings},
        {.name = "set-filter",
         .options = {"set"},
         .setBoxes = SetBoxes::Filters,
         .usages = {{{"set-filter [--set \"KEY=0|1\"]..."},
                     {"\"Read param\", the filter boxes, \"Set filter\""}}},
         .sayBackup = true, .run = runSetFilter},
        {.name = "boot",
         .usages = {{{"boot"}, {"\"Go to the BOOT\""}}},
         .before = Before::Nothing, .run = runBoot},
        {.name = "backup", .operand = "FILE", .operandNeed = "backup takes the file to write",
         .operandSuffix = "json",
         .usages = {{{"backup FILE"},
                     {"\"Read param\", and the settings read into FILE (JSON)"}}},
         .run = runBackup},
        {.name = "restore", .operand = "FILE", .operandNeed = "restore takes the settings file",
         .options = {"allow-other-model", "dry-run", "only", "except"},
         .operandSuffix = "json",
         .usages = {{{"restore FILE [--allow-other-model] [--dry-run]",
                      "             [--only KEY[,KEY...] | --except KEY[,KEY...]]"},
                     {"\"Read param\", the writes that bring the reader to FILE's",
                      "settings, and a read-back; a file of another model is refused",
                      "unless --allow-other-model (what both share). --only takes",
                      "only the settings named, --except all but them (control",
                      "names); --dry-run prints what it would change, as diff does,",
                      "and writes nothing: exit 0 when nothing would, 1 when some"}}},
         .sayBackup = true, .prepare = prepareRestore, .run = runRestore},
        {.name = "diff", .operand = "A", .operandNeed = "diff takes A and B, or --port and one of them",
         .operand2 = "B", .options = {"json"},
         .operandSuffix = "json",
         .usages = {{{"diff A [B]"},
                     {"the settings of A and B side by side, each a settings file",
                      "or a port (read as \"Read param\" reads it; --port P diff FILE",
                      "is diff P FILE): a line a setting that differs, in the",
                      "window's words; exit 0 when they are the same, 1 when not"}}},
         .port = PortUse::Optional, .printsRead = false, .run = runDiff},
        {.name = "program", .operand = "FILE", .operandNeed = "program takes the firmware file",
         .options = {"prog-pgm", "no-prog-pgm", "avto-set-filter", "in-boot", "stall-timeout"},
         .operandSuffix = "rom",
         .usages = {{{"program FILE [--prog-pgm | --no-prog-pgm] [--avto-set-filter]",
                      "             [--stall-timeout SECONDS]"},
                     {"\"Read param\", \"Open File\", \"Go to the BOOT\", \"PGM\";",
                      "progress on standard error, the outcome as its last line; a",
                      "run that no packet moves on for 30 s (or SECONDS; 0: never)",
                      "ends as \"Stop\" ends it"}},
                    {{"program --in-boot FILE --prog-pgm | --no-prog-pgm"},
                     {"a reader left in its boot loader: \"PGM\" alone, new-type",
                      "(--prog-pgm) or old-type (--no-prog-pgm)"}}},
         .prepare = prepareProgram, .run = runProgram},
    };
    return t;
}
// clang-format on

}  // namespace

std::span<const OptionRow> options() {
    return kOptions;
}

std::span<const OptionRow> runOptions() {
    return kRunOptions;
}

std::span<const CommandRow> commands() {
    return table();
}

const CommandRow* command(const QString& name) {
    for (const CommandRow& c : table())
        if (name == QLatin1String(c.name)) return &c;
    return nullptr;
}

Parsed parseArguments(const QStringList& args) {
    Parsed r;
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "help");
    const QCommandLineOption version("version", "version");
    const QCommandLineOption port("port", "port", "COMn");
    const QCommandLineOption trace("trace", "trace", "file");
    const QCommandLineOption all("all", "all");
    const QCommandLineOption watch("watch", "watch");
    const QCommandLineOption units("units", "units", "file");
    const QCommandLineOption jobs("jobs", "jobs", "N");
    const QCommandLineOption retryFailed("retry-failed", "retry-failed");
    const QCommandLineOption supportRecord("support-record", "support-record", "file");
    const QCommandLineOption completion("completion", "completion", "shell");
    const QCommandLineOption completePorts("complete-ports", "complete-ports");
    p.addOptions({help, version, port, trace, all, watch, units, jobs, retryFailed, supportRecord,
                  completion, completePorts});
    for (const OptionRow& o : kOptions)
        p.addOption(o.value ? QCommandLineOption(QString::fromLatin1(o.name), o.name, o.value)
                            : QCommandLineOption(QString::fromLatin1(o.name), o.name));
    auto value = [&](const char* name) { return p.value(QString::fromLatin1(name)); };
    auto isSet = [&](const char* name) { return p.isSet(QString::fromLatin1(name)); };
    if (!p.parse(QStringList{QStringLiteral("torvik-cli")} + args)) {
        r.error = p.errorText();
        return r;
    }
    if (p.isSet(help)) {
        r.help = true;
        return r;
    }
    if (p.isSet(version)) {
        r.version = true;
        return r;
    }
    if (p.isSet(completion)) {
        r.completion = p.value(completion);
        if (!completionShells().contains(r.completion))
            r.error = QStringLiteral("--completion takes bash, zsh or fish, not \"%1\"")
                          .arg(r.completion);
        return r;
    }
    if (p.isSet(completePorts)) {
        r.completePorts = true;
        return r;
    }
    QStringList rest = p.positionalArguments();
    if (rest.isEmpty()) {
        r.error = QStringLiteral("no command given");
        return r;
    }
    Options& o = r.options;
    o.command = rest.takeFirst();
    const CommandRow* c = command(o.command);
    if (!c) {
        r.error = QStringLiteral("unknown command \"%1\"").arg(o.command);
        return r;
    }
    if (c->operand) {
        if (rest.isEmpty()) {
            r.error = QString::fromLatin1(c->operandNeed);
            return r;
        }
        o.file = rest.takeFirst();
    }
    if (c->operand2 && !rest.isEmpty()) o.file2 = rest.takeFirst();
    if (!rest.isEmpty()) {
        r.error = QStringLiteral("unexpected argument \"%1\"").arg(rest.first());
        return r;
    }
    // --port COM3,COM4 --port /dev/ttyUSB2: each port once, a name COMn in any case, a device
    // path and a URL as typed.
    for (const QString& value : p.values(port))
        for (QString name : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            name = comlink::normalPortName(name.trimmed());
            if (!name.isEmpty() && !o.ports.contains(name)) o.ports << name;
        }
    o.all = p.isSet(all);
    o.watch = p.isSet(watch);
    o.units = p.value(units);
    o.retryFailed = p.isSet(retryFailed);
    const bool portGiven = o.portsGiven();
    if (c->port == PortUse::None) {
        for (const QCommandLineOption* given : {&port, &all, &watch, &units, &jobs, &retryFailed})
            if (p.isSet(*given)) {
                r.error = QStringLiteral("%1 takes no --%2").arg(o.command, given->names().first());
                return r;
            }
    } else if (c->port == PortUse::Required && !portGiven) {
        r.error = QStringLiteral("%1 needs --port COMn").arg(o.command);
        return r;
    } else if (c->port == PortUse::Optional && portGiven != o.file2.isEmpty()) {
        r.error = QString::fromLatin1(c->operandNeed);
        return r;
    }
    for (const QString& name : p.optionNames()) {
        bool everyCommand = false;
        for (const OptionRow& r : kRunOptions) everyCommand |= name == QLatin1String(r.name);
        if (everyCommand) continue;
        // With several ports, every command reports in JSON Lines.
        if (name == "json" && o.severalPorts()) continue;
        bool takes = false;
        for (const char* taken : c->options) takes |= name == QLatin1String(taken);
        if (!takes) {
            r.error = QStringLiteral("%1 takes no --%2").arg(o.command, name);
            return r;
        }
    }
    if (p.isSet(jobs)) {
        bool ok = false;
        o.jobs = p.value(jobs).toInt(&ok);
        if (!ok || o.jobs < 1 || o.jobs > 1024) {
            r.error = QStringLiteral("--jobs takes a number of ports from 1 to 1024, not \"%1\"")
                          .arg(p.value(jobs));
            return r;
        }
    }
    if (o.retryFailed && o.units.isEmpty()) {
        r.error = QStringLiteral("--retry-failed needs --units FILE: the records it reads");
        return r;
    }
    if (o.retryFailed && o.watch) {
        r.error = QStringLiteral("--retry-failed and --watch together (a watch takes new readers)");
        return r;
    }
    if (o.retryFailed && !portGiven) {
        r.error = QStringLiteral("--retry-failed needs the ports to retry: --port or --all");
        return r;
    }
    o.port = o.ports.value(0);
    o.json = isSet("json");
    o.trace = p.value(trace);
    o.supportRecord = p.value(supportRecord);
    if (p.isSet(supportRecord) && o.supportRecord.isEmpty()) {
        r.error = QStringLiteral("--support-record takes the file to write");
        return r;
    }
    o.protocol = value("protocol");
    o.typeCode = value("type-code");
    o.protocol2 = value("protocol2");
    for (const QString& s : p.values(QStringLiteral("set"))) {
        const qsizetype eq = s.lastIndexOf(QLatin1Char('='));
        const QString state = eq < 0 ? QString() : s.mid(eq + 1);
        if (eq <= 0 || (state != "0" && state != "1")) {
            r.error = QStringLiteral("--set takes \"KEY=0\" or \"KEY=1\", not \"%1\"").arg(s);
            return r;
        }
        o.boxes.push_back({s.left(eq), state == "1"});
    }
    if (isSet("open-time")) {
        bool ok = false;
        const int ms = value("open-time").toInt(&ok);
        if (!ok || ms < 0 || ms > device::kLongestOpenTimeMs) {
            r.error = QStringLiteral("--open-time takes milliseconds from 0 to %1, not \"%2\"")
                          .arg(device::kLongestOpenTimeMs)
                          .arg(value("open-time"));
            return r;
        }
        o.openTimeMs = ms;
    }
    if (isSet("prog-pgm") && isSet("no-prog-pgm")) {
        r.error = QStringLiteral("--prog-pgm and --no-prog-pgm together");
        return r;
    }
    if (isSet("prog-pgm")) o.progPgm = true;
    if (isSet("no-prog-pgm")) o.progPgm = false;
    o.avtoSetFilter = isSet("avto-set-filter");
    o.inBoot = isSet("in-boot");
    o.allowOtherModel = isSet("allow-other-model");
    o.dryRun = isSet("dry-run");
    if (isSet("only") && isSet("except")) {
        r.error = QStringLiteral(
            "--only and --except together: name the settings to take, or "
            "those to leave");
        return r;
    }
    for (const char* option : {"only", "except"}) {
        if (!isSet(option)) continue;
        r.error = settingNames(option, p.values(QString::fromLatin1(option)), &o.takeNames);
        if (!r.error.isEmpty()) return r;
        o.takeExcept = QLatin1String(option) == QLatin1String("except");
    }
    if (o.inBoot && !o.progPgm) {
        r.error = QStringLiteral(
            "--in-boot needs --prog-pgm (a new-type boot loader) or --no-prog-pgm (an old-type "
            "one)");
        return r;
    }
    if (o.inBoot && o.avtoSetFilter) {
        r.error = QStringLiteral("--in-boot and --avto-set-filter together (no reader was read)");
        return r;
    }
    if (isSet("stall-timeout")) {
        bool ok = false;
        o.stallTimeoutS = value("stall-timeout").toInt(&ok);
        if (!ok || o.stallTimeoutS < 0 || o.stallTimeoutS > 86400) {
            r.error = QStringLiteral("--stall-timeout takes seconds from 0 to 86400, not \"%1\"")
                          .arg(value("stall-timeout"));
            return r;
        }
    }
    return r;
}

}  // namespace cli
