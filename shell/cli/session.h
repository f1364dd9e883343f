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
#include "link/serial_port.h"
#include "shell/cli.h"

// One run of torvik-cli on one port: the port, the reader layer on it, what "Read param" found,
// and the pieces the commands share (the choices as a user makes them, "Write param", the
// read-back).
namespace cli {

struct CommandSpec;

class Session {
public:
    explicit Session(const Options& o);
    // The command, from its files to its last exchange; the port is released before it returns.
    int run(const CommandSpec& command);

    const Options& options() const { return o_; }
    device::Reader& reader() { return reader_; }
    // What the last "Read param" found, and the choices made on it since.
    device::Configuration& config() { return config_; }
    const QStringList& lines() const { return lines_; }
    bool readOk() const { return readOk_; }

    // Files read before the port is opened.
    QByteArray image;
    std::optional<device::SettingsRecord> file;

    // What the command came to, for the summary of several ports and the unit's record.
    struct Report {
        QString outcome;            // in words, where the command says more than its exit code
        qint64 bytesAccepted = -1;  // program: of the image
        qint64 imageBytes = -1;
        QJsonObject read;       // read --json with several ports: the report
        QString firmwareAfter;  // program on a bench: the firmware the reader reports after it
    } report;
    // The firmware the reader reports now ("1.7.1"), asked quietly; empty when it does not
    // answer as a reader.
    QString firmwareNow();
    // Where the backup of this run's "Read param" went; empty when none was written.
    const QString& backupPath() const { return backupPath_; }

    // A line of the window's log: the layer's, and the few the window writes itself. The
    // read-back after a write is no operation of the window's and prints nothing.
    void log(const QString& line);

    // "Write param" of the configuration's settings.
    int writeParams();
    // "Read param" once more, quietly, and each written field the reader does not hold named:
    // exit 1. wroteParams: the configuration that was written; wroteFilters: the filter choice.
    int readBack(const device::Configuration* wroteParams,
                 const device::FilterChoice* wroteFilters);

private:
    int openPort();
    bool readParam(bool backUp);

    const Options& o_;
    device::Reader reader_;
    std::unique_ptr<comlink::SerialPort> port_;
    QStringList lines_;
    bool quiet_ = false;
    bool printsRead_ = true;
    bool readOk_ = false;
    device::Configuration config_;
    device::BackupWriter backups_;
    QString backupPath_, backupError_;
};

// A key as a script writes it: the control's name, or its caption where no other box has it.
// -1 when none matches.
template <std::size_t N, typename Key>
int keyIndex(const std::array<Key, N>& keys, const QString& key) {
    for (std::size_t i = 0; i < N; ++i)
        if (key == QLatin1String(keys[i].name)) return static_cast<int>(i);
    int found = -1;
    for (std::size_t i = 0; i < N; ++i) {
        if (key != QLatin1String(keys[i].caption)) continue;
        if (found >= 0) return -1;
        found = static_cast<int>(i);
    }
    return found;
}

QString quoted(const char* s);

}  // namespace cli
