#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "link/serial_port.h"

// Which of the ports COM1 to COM128 can be opened now, and why the others cannot.
namespace comlink {

struct ProbedPort {
    QString name;     // COMn
    QString path;     // what the name opens
    QString device;   // the real device behind it
    QString toolTip;  // the device and what the system knows of the adapter
};

// A device that exists but was left out of the list.
struct LeftOut {
    QString device;  // the real device
    OpenFailure why = OpenFailure::None;
};

struct ProbeResult {
    std::vector<ProbedPort> ports;  // in ascending order
    std::vector<LeftOut> leftOut;   // each device once, in the order met
};

// Opens and closes each port in turn, except those that skip names; no port stays open.
ProbeResult probePorts(const std::function<bool(const QString& name)>& skip = {});

// The serial number of the adapter behind a device (its real path), where the system gives one.
QString adapterSerialNumber(const QString& device);

// What the port list's tool tip says of the devices that exist but were left out, one line for
// each reason with its fix; empty when there are none. anyListed: the list offers some port.
QString leftOutHint(const std::vector<LeftOut>& leftOut, bool anyListed);

}  // namespace comlink
