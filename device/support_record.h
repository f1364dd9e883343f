#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

#include "device/settings_file.h"
#include "link/probe.h"

// A support record: one text file that a support engineer reads top to bottom, written by the
// window ("Save support record...") and by torvik-cli --support-record: the program and Qt
// versions, the system, the port list with the reasons ports were left out, the settings last
// read (as a settings file), the log or the output, and the wire trace kept in memory. Nothing
// else about the machine: no user name, no host name, no path outside the program's folders.
namespace device {

struct SupportFacts {
    QString program;             // "torvik-config 15.0"
    QStringList portsInUse;      // the ports this program holds open, left out of the probe
    comlink::ProbeResult ports;  // the other ports, as the port list probes them
    std::vector<std::pair<QString, SettingsRecord>> settings;  // port and what it read last
    QString logTitle;  // "Log" (window) or "Output" (torvik-cli)
    QString log;       // its text as shown
    QByteArray trace;  // comlink::traceRing()
};

// The record's text, scrubbed.
QString supportRecordText(const SupportFacts& facts);

// Text without what would tell about the machine or its user: the home folder as "~", paths
// outside the program's folders (its data folder, its installed files and devices) as ".../" and
// their file name, the user's and the machine's names as "<user>" and "<host>".
QString scrubbed(const QString& text);

}  // namespace device
