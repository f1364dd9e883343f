// restore: a settings file onto the reader, judged as the window's "Load settings" judges it;
// with --dry-run, what it would change, in diff's words.

#include "device/compare.h"
#include "shell/cli/bench.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

namespace {

bool isSettingName(const QString& name) {
    for (const device::SettingRow& r : device::kSettings)
        if (name == QLatin1String(r.name)) return true;
    for (const device::FilterKey& k : device::kFilterKeys)
        if (name == QLatin1String(k.name)) return true;
    return false;
}

// What restore would change: a line a setting, as diff prints it; A the reader, B the file.
void printDryRun(const Session& s, const device::Fit& fit) {
    using Take = device::FitRow::Take;
    const device::Configuration& c = s.config();
    const device::SettingsRecord& f = *s.file;
    out(QStringLiteral("A: %1, %2").arg(s.port(), device::describeReader(c)));
    out(QStringLiteral("B: %1, %2").arg(s.options().file, device::describeRecord(f)));
    for (const QString& line : device::loadWarnings(c, f)) out(line);
    QString group;
    QStringList record;
    for (const device::FitRow& r : fit.rows) {
        const QString name =
            QStringLiteral("%1 (%2)").arg(QLatin1String(r.caption()), QLatin1String(r.name()));
        if (r.take == Take::Record) {
            record << name;
            continue;
        }
        if (device::fitGroup(r) != group) out(group = device::fitGroup(r));
        QString line =
            QStringLiteral("  %1: A %2, B %3")
                .arg(name, device::fitText(r, c, r.reader), device::fitText(r, c, r.file));
        if (r.take == Take::Refused)
            line += QStringLiteral(": this reader cannot take it (%1)").arg(r.why);
        else if (r.take == Take::Skipped)
            line += QStringLiteral(": this model cannot take it (%1)").arg(r.why);
        else if (r.beyondList)
            line += QStringLiteral(
                " (beyond the configurator's list, as this model and firmware "
                "keep it)");
        out(line);
    }
    if (!record.isEmpty())
        out(QStringLiteral("Not carried by A's model: ") + record.join(QStringLiteral(", ")));
    const int n = fit.changes();
    out(!fit.fits() ? QStringLiteral("Nothing would be written: this reader cannot take what the "
                                     "file holds")
        : n         ? QStringLiteral("%1 setting(s) would change; nothing was written").arg(n)
                    : QStringLiteral("No differences"));
}

}  // namespace

QString settingNames(const char* option, const QStringList& values, QStringList* names) {
    QStringList unknown;
    for (const QString& value : values)
        for (const QString& part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString name = part.trimmed();
            if (!isSettingName(name))
                unknown << QLatin1Char('"') + name + QLatin1Char('"');
            else if (!names->contains(name))
                *names << name;
        }
    if (!unknown.isEmpty())
        return QStringLiteral("--%1: no setting %2 (the control names: read --json lists them)")
            .arg(QLatin1String(option), unknown.join(QStringLiteral(", ")));
    if (names->isEmpty())
        return QStringLiteral("--%1 takes control names").arg(QLatin1String(option));
    for (const QString& name : *names) {
        const char* with = device::takenWith(name.toLatin1().constData());
        if (with && !names->contains(QLatin1String(with)))
            return QStringLiteral(
                       "--%1: %2 goes with %3 (the reader keeps them in shared bits): "
                       "name both")
                .arg(QLatin1String(option), name, QLatin1String(with));
    }
    return {};
}

int prepareRestore(Session& s) {
    // Nothing is written from a file that was not read whole; every port takes the settings
    // read once at the start.
    std::shared_ptr<const JobFile> f;
    if (const int e = useJobFile(s.options(), &f)) return e;
    s.file = f->settings;
    return kOk;
}

// Brings the reader to the file's settings, as the reader layer restores them.
int runRestore(Session& s) {
    const Options& o = s.options();
    device::UnitSession::RestoreChoice choice;
    choice.allowOtherModel = o.allowOtherModel;
    if (!o.takeNames.isEmpty())
        choice.take = [&o](const char* name) {
            return o.takeNames.contains(QLatin1String(name)) != o.takeExcept;
        };
    if (o.dryRun) choice.dryRun = [&s](const device::Fit& fit) { printDryRun(s, fit); };
    return s.restore(*s.file, o.file, choice);
}

}  // namespace cli
