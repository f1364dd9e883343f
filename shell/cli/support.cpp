#include "shell/cli/support.h"

#include <QSaveFile>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "device/support_record.h"
#include "link/trace.h"
#include "shell/cli/output.h"

namespace cli {

namespace {

std::mutex mutex;  // the ports' threads note what they read
std::unique_ptr<QSaveFile> file;
std::vector<std::pair<QString, device::SettingsRecord>> settingsRead;

}  // namespace

bool openSupportRecord(const QString& path, QString* error) {
    // Opened now, so that a record that cannot be written stops the command before it sends
    // anything; written whole, under its name, only at the end.
    file = std::make_unique<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write the support record to %1: %2")
                     .arg(path, file->errorString());
        file.reset();
        return false;
    }
    keepOutput();
    return true;
}

void noteSettingsRead(const QString& port, const device::SettingsRecord& r) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!file) return;
    for (auto& [p, record] : settingsRead)
        if (p == port) {
            record = r;
            return;
        }
    settingsRead.emplace_back(port, r);
}

bool writeSupportRecord(QString* error) {
    if (!file) return true;
    device::SupportFacts facts;
    facts.program = QStringLiteral("torvik-cli " TORVIK_VERSION);
    facts.ports = comlink::probePorts();  // every port of the command is closed by now
    {
        const std::lock_guard<std::mutex> lock(mutex);
        facts.settings = settingsRead;
    }
    facts.logTitle = QStringLiteral("Output");
    facts.log = keptOutput();
    facts.trace = comlink::traceRing();
    file->write(device::supportRecordText(facts).toUtf8());
    const bool ok = file->commit();
    if (!ok)
        *error = QStringLiteral("cannot write the support record to %1: %2")
                     .arg(file->fileName(), file->errorString());
    file.reset();
    return ok;
}

}  // namespace cli
