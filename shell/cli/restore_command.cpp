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

// Brings the reader to the file's settings, as the reader layer restores them.
int runRestore(Session& s) {
    return s.restore(*s.file, s.options().file, s.options().allowOtherModel);
}

}  // namespace cli
