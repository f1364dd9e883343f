#pragma once

#include <QString>
#include <QStringList>
#include <vector>

// Which of the ports COM1 to COM128 can be opened now.
namespace comlink {

struct ProbedPort {
    QString name;     // COMn
    QString path;     // what the name opens
    QString device;   // the real device behind it
    QString toolTip;  // the device and what the system knows of the adapter
};

struct ProbeResult {
    std::vector<ProbedPort> ports;  // in ascending order
    QStringList denied;             // devices that exist but that this user may not open
};

// Opens and closes each port in turn; no port stays open.
ProbeResult probePorts();

// What the port list says when devices exist but none could be opened for lack of permission;
// empty otherwise.
QString permissionHint(const ProbeResult& probe);

}  // namespace comlink
