// restore: a settings file onto the reader, judged as the window's "Load settings" judges it.

#include "shell/cli/bench.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

int prepareRestore(Session& s) {
    // Nothing is written from a file that was not read whole; every port takes the settings
    // read once at the start.
    std::shared_ptr<const JobFile> f;
    if (const int e = useJobFile(s.options(), &f)) return e;
    s.file = f->settings;
    return kOk;
}

// Brings the reader to the file's settings: the parameters its model's write carries, the
// filters where it reads and writes them whole. A value it cannot take refuses the whole restore
// before anything is written; the read-back follows the writes.
int runRestore(Session& s) {
    device::Configuration& c = s.config();
    const device::SettingsRecord& f = *s.file;
    const device::Fit fit = device::fit(c, f, s.options().allowOtherModel);
    auto modelText = [](int code, const QString& name) {
        return name.isEmpty() ? QStringLiteral("model %1").arg(code)
                              : QStringLiteral("model %1 (%2)").arg(code).arg(name);
    };
    const QString file = s.options().file;
    if (fit.modelRefused) {
        err(QStringLiteral("%1 holds the settings of a %2, and this reader is a %3: nothing "
                           "written (--allow-other-model applies what both share)")
                .arg(file, modelText(f.modelCode, f.modelName),
                     modelText(c.who.version[3], QString::fromLatin1(c.row().logName))));
        return kUsage;
    }
    if (!c.paramsRead()) {
        err(
            QStringLiteral("this reader is configured by filter codes and has no parameter "
                           "block: nothing to restore"));
        return kUsage;
    }
    if (!fit.refused.isEmpty()) {
        err(QStringLiteral("%1: this reader cannot take %2: nothing written")
                .arg(file, fit.refused.join(QStringLiteral(", "))));
        return kUsage;
    }
    if (!fit.skipped.isEmpty())
        err(QStringLiteral("not applied (this model cannot take them): ") +
            fit.skipped.join(QStringLiteral(", ")));
    if (!fit.record.isEmpty())
        err(QStringLiteral("not writable on this reader, kept in the file as a record: ") +
            fit.record.join(QStringLiteral(", ")));

    c.settings = fit.settings;
    const device::Configuration wrote = c;
    if (const int e = s.writeParams()) return e;
    if (fit.filters && s.reader().setFilters(c.device(), *fit.filters, false, true) !=
                           device::FilterWriteVerdict::Accepted)
        return kFailed;
    return s.readBack(&wrote, fit.filters ? &*fit.filters : nullptr);
}

}  // namespace cli
