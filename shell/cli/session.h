#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "device/configuration.h"
#include "device/reader.h"
#include "device/settings_file.h"
#include "device/unit.h"
#include "link/serial_port.h"
#include "shell/cli.h"

// One run of torvik-cli on one port: the reader layer's unit on the port, its words printed as
// torvik-cli prints them, and the command's files.
namespace cli {

struct CommandRow;

class Session : public device::UnitSession {
public:
    explicit Session(const Options& o);
    // The command, from its files to its last exchange; the port is released before it returns.
    int run(const CommandRow& command);

    const Options& options() const { return o_; }

    // Files read before the port is opened.
    QByteArray image;
    std::optional<device::SettingsRecord> file;

private:
    const Options& o_;
    bool printsRead_ = true;
};

// A key as a script writes it: the control's name, or its caption where no other box has it.
// -1 when none matches.
template <typename Keys>
int keyIndex(const Keys& keys, const QString& key) {
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (key == QLatin1String(keys[i].name)) return static_cast<int>(i);
    int found = -1;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (key != QLatin1String(keys[i].caption)) continue;
        if (found >= 0) return -1;
        found = static_cast<int>(i);
    }
    return found;
}

// A name in double quotes, as the usage errors name a box.
QString inDoubleQuotes(const char* s);

}  // namespace cli
