#pragma once

#include <QString>

#include "device/settings_file.h"

// torvik-cli --support-record FILE: the file is made sure of before anything is sent, the output
// and the settings each port read are kept while the command runs, and the record is written
// whole when it is over.
namespace cli {

// False, with the reason, when the file cannot be written.
bool openSupportRecord(const QString& path, QString* error);
// What a port's "Read param" read, for the record; nothing when no record is asked for.
void noteSettingsRead(const QString& port, const device::SettingsRecord& r);
// Writes the record; false, with the reason, when it could not be written.
bool writeSupportRecord(QString* error);

}  // namespace cli
