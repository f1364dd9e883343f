// read and backup: "Read param", and what it found as the log, JSON or a settings file.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

QJsonObject readReport(const device::Configuration& c, const QStringList& lines, bool ok) {
    QJsonObject r;
    r["ok"] = ok;
    const device::Identity& who = c.who;
    if (who.reply == comlink::Reply::Accepted) {
        const auto& v = who.version;
        r["version"] = QStringLiteral("%1.%2.%3.%4").arg(v[3]).arg(v[2]).arg(v[1]).arg(v[0]);
        r["firmware"] = who.firmware();
        r["model"] = device::modelJson(v[3], device::modelName(v[3]));
    }
    if (c.paramsRead() && who.row) {
        // The settings as the reader holds them once "Write param" has sent the window's choices:
        // a reader cloned from another reports the same.
        const device::OutputSettings s = c.settingsAfterWrite();
        const device::ShownControls& o = c.shown;
        const uint8_t mode = c.params->decoded.mode;
        r["mode"] = QJsonObject{{"code", mode},
                                {"text", device::modeName(mode, QStringLiteral("not defined"))}};
        QJsonObject settings, options;
        for (const device::SettingRow& k : device::kSettings) {
            const int v = k.value(s);
            const bool shown = device::shownIn(k, o);
            if (k.shows == device::Shows::Box) {
                options[QLatin1String(k.name)] = QJsonObject{{"checked", v != 0}, {"shown", shown}};
            } else if (k.shows == device::Shows::Milliseconds) {
                settings["openTime"] = QJsonObject{{"ms", v}, {"shown", shown}};
            } else {
                const bool undefined = v == device::kProtocolUndefined;
                settings[QLatin1String(k.key)] = QJsonObject{
                    {"index", undefined ? -1 : v},
                    {"text", shown ? device::valueText(k, v, o, c.withoutParity) : QString()},
                    {"shown", shown}};
            }
        }
        settings["options"] = options;
        r["settings"] = settings;
        r["paramBlock"] = device::hexText(c.params->block.data(), c.params->block.size());
    }
    if (c.filtersRead()) {
        QJsonObject boxes;
        for (int i = 0; i < filters::kBoxCount; ++i)
            boxes[QLatin1String(device::kFilterKeys[i].name)] =
                c.filters->signatureValid && c.filterChoice[i];
        r["filters"] = boxes;
        r["filterBlock"] = device::hexText(c.filters->block.data(), c.filters->block.size());
    }
    r["filtersRead"] = c.filtersRead();
    r["log"] = QJsonArray::fromStringList(lines);
    return r;
}

int runRead(Session& s) {
    if (s.options().json) {
        const QJsonObject report = readReport(s.config(), s.lines(), s.readOk());
        // With several ports the report goes with the port's end event.
        if (s.options().severalPorts())
            s.report.read = report;
        else
            print(stdout, QString::fromUtf8(QJsonDocument(report).toJson()) + '\n');
    }
    return s.readOk() ? kOk : kFailed;
}

int runBackup(Session& s) {
    if (!s.config().paramsRead()) {
        err(QStringLiteral("this reader has no parameter block to back up"));
        return kFailed;
    }
    QString error;
    if (!device::writeSettingsFile(s.options().file, s.config().record(), &error)) {
        err(QStringLiteral("the settings could not be written: ") + error);
        return kOutputFailed;
    }
    return kOk;
}

}  // namespace cli
