// read and backup: "Read param", and what it found as the log, JSON or a settings file.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
        r["model"] =
            QJsonObject{{"code", v[3]},
                        {"name", who.row && who.row->named ? QString::fromLatin1(who.row->logName)
                                                           : QString()}};
    }
    if (c.paramsRead() && who.row) {
        // The settings as the reader holds them once "Write param" has sent the window's choices:
        // a reader cloned from another reports the same.
        const device::OutputSettings s = c.heldSettings();
        const device::ShownControls& o = c.shown;
        static const char* const kModes[] = {"reader", "protected", "your key"};
        const uint8_t mode = c.params->decoded.mode;
        r["mode"] = QJsonObject{
            {"code", mode},
            {"text", mode < 3 ? QString::fromLatin1(kModes[mode]) : QStringLiteral("not defined")}};
        auto list = [](int index, const QString& text, bool shown) {
            return QJsonObject{{"index", index}, {"text", text}, {"shown", shown}};
        };
        const bool undefined = s.protocol == device::kProtocolUndefined;
        QJsonObject settings{
            {"protocol", list(undefined ? -1 : s.protocol,
                              undefined ? QString()
                                        : QString::fromLatin1(
                                              device::protocolEntry(s.protocol, c.withoutParity)),
                              o.protocolEntries() > 0)},
            {"protocol2", list(s.protocol2,
                               o.protocol2Entries > 0 ? QString::fromLatin1(device::protocol2Entry(
                                                            s.protocol2, o.secondSerial))
                                                      : QString(),
                               o.protocol2Entries > 0)},
            {"typecode",
             list(s.typecode, QString::fromLatin1(device::kTypeCodeEntries[s.typecode]), true)},
            {"openTime", QJsonObject{{"ms", s.openTimeMs}, {"shown", o.openTime}}}};
        QJsonObject options;
        for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i)
            options[QLatin1String(device::kOptionKeys[i].name)] =
                QJsonObject{{"checked", s.*device::kOptionKeys[i].member}, {"shown", o.options[i]}};
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
