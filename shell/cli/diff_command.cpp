// diff: two readers' settings side by side, each a settings file or a port, in the window's words.

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "device/compare.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

namespace {

// An operand names a port when it is a name COMn that is no file here, or a device.
bool isPort(const QString& operand) {
    if (comlink::looksLikeNetworkPort(operand)) return true;
    if (QFileInfo::exists(operand)) return comlink::isDeviceFile(operand);
    return comlink::comNumber(operand.toUpper()) > 0;
}

struct Side {
    QString source;  // the port or the file, as given
    std::optional<device::SettingsRecord> record;
    int code = kOk;  // why there is no record
};

// A port read as "Read param" reads it (and backed up as every read is), its log kept quiet; a
// file read whole.
Side sideOf(const Options& base, const QString& operand) {
    Side side;
    side.source = operand;
    if (!isPort(operand)) {
        QString error;
        side.record = device::readSettingsFile(operand, &error);
        if (!side.record) {
            err(error);
            side.code = kUsage;
        }
        return side;
    }
    Options o = base;
    o.port = comlink::normalPortName(operand);
    o.ports = {o.port};
    // Read quietly: the read's log lines are not the comparison's.
    static const CommandRow kRead{.name = "diff",
                                  .usages = {},
                                  .before = Before::ReadParamOk,
                                  .printsRead = false,
                                  .run = [](Session&) { return int(kOk); }};
    Session s(o);
    side.code = s.run(kRead);
    if (side.code == kOk && !s.config().paramsRead()) {
        err(QStringLiteral("%1 has no parameter block to compare").arg(operand));
        side.code = kFailed;
    }
    if (side.code == kOk) side.record = s.config().record();
    return side;
}

QJsonObject sideJson(const Side& s) {
    return QJsonObject{{"source", s.source},
                       {"model", device::modelJson(s.record->modelCode, s.record->modelName)},
                       {"firmware", s.record->firmware}};
}

}  // namespace

int runDiff(Session& s) {
    const Options& o = s.options();
    // With --port, A is the reader that "Read param" just read, and the operand is B.
    Side a, b;
    if (!o.port.isEmpty()) {
        a.source = o.port;
        if (!s.config().paramsRead()) {
            err(QStringLiteral("%1 has no parameter block to compare").arg(o.port));
            return kFailed;
        }
        a.record = s.config().record();
        b = sideOf(o, o.file);
    } else {
        a = sideOf(o, o.file);
        if (a.record) b = sideOf(o, o.file2);
    }
    if (!a.record) return a.code;
    if (!b.record) return b.code;

    const device::Comparison c = device::compare(*a.record, *b.record);
    const int code = c.same() ? kOk : kFailed;
    s.report.outcome = c.same()
                           ? QStringLiteral("the same as %1").arg(b.source)
                           : QStringLiteral("%1 difference(s) from %2")
                                 .arg(c.settings.size() + c.raw.size() + (c.modelsDiffer ? 1 : 0))
                                 .arg(b.source);
    if (o.json) {
        QJsonArray settings, notCarried, raw;
        for (const device::SettingDifference& d : c.settings)
            settings.append(QJsonObject{{"group", d.group},
                                        {"setting", d.name},
                                        {"caption", d.caption},
                                        {"a", d.a},
                                        {"b", d.b}});
        for (const device::NotCarried& n : c.notCarried)
            notCarried.append(QJsonObject{{"setting", n.name},
                                          {"caption", n.caption},
                                          {"notCarriedBy", QString(QLatin1Char(n.side))}});
        for (const device::RawDifference& r : c.raw)
            raw.append(QJsonObject{{"what", r.what}, {"a", r.a}, {"b", r.b}});
        const QJsonObject report{{"a", sideJson(a)},
                                 {"b", sideJson(b)},
                                 {"same", c.same()},
                                 {"modelsDiffer", c.modelsDiffer},
                                 {"differences", settings},
                                 {"notCarried", notCarried},
                                 {"raw", raw}};
        if (o.severalPorts())
            s.report.read = report;
        else
            print(stdout, QString::fromUtf8(QJsonDocument(report).toJson()) + '\n');
        return code;
    }
    out(QStringLiteral("A: %1, %2").arg(a.source, device::describeRecord(*a.record)));
    out(QStringLiteral("B: %1, %2").arg(b.source, device::describeRecord(*b.record)));
    if (c.modelsDiffer)
        out(QStringLiteral("The models differ: A is model %1, B is model %2; the settings both "
                           "carry are compared")
                .arg(a.record->modelCode)
                .arg(b.record->modelCode));
    QString group;
    for (const device::SettingDifference& d : c.settings) {
        if (d.group != group) out(group = d.group);
        out(QStringLiteral("  %1 (%2): A %3, B %4").arg(d.caption, d.name, d.a, d.b));
    }
    for (const char side : {'a', 'b'}) {
        QStringList names;
        for (const device::NotCarried& n : c.notCarried)
            if (n.side == side) names << QStringLiteral("%1 (%2)").arg(n.caption, n.name);
        if (!names.isEmpty())
            out(QStringLiteral("Not carried by %1's model: %2")
                    .arg(QChar(side).toUpper())
                    .arg(names.join(QStringLiteral(", "))));
    }
    if (!c.raw.empty()) out(QStringLiteral("Raw bytes no setting explains"));
    for (const device::RawDifference& r : c.raw)
        out(QStringLiteral("  %1: A %2, B %3").arg(r.what, r.a, r.b));
    out(c.same() ? QStringLiteral("No differences") : s.report.outcome);
    return code;
}

}  // namespace cli
