#include "link/probe.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include "link/port_names.h"
#include "link/serial_port.h"

namespace comlink {

namespace {

QString describe(const QString& path, const QString& real) {
    QStringList lines;
    lines << (real == path ? path : real + QStringLiteral(" (") + path + QLatin1Char(')'));
    const QSerialPortInfo info(real);
    if (!info.description().isEmpty()) lines << info.description();
    if (!info.manufacturer().isEmpty()) lines << info.manufacturer();
    if (!info.serialNumber().isEmpty())
        lines << QStringLiteral("Serial number ") + info.serialNumber();
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

ProbeResult probePorts() {
    ProbeResult r;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const QString name = comName(n);
        const QString path = devicePath(name);
        auto port = makeSerialPort();
        if (!port->open(path)) {
            if (port->permissionDenied()) r.denied << realDevicePath(path);
            continue;
        }
        port->close();
        const QString real = realDevicePath(path);
        r.ports.push_back({name, path, real, describe(path, real)});
    }
    return r;
}

QString permissionHint(const ProbeResult& probe) {
    if (!probe.ports.empty() || probe.denied.isEmpty()) return {};
    QString group = QFileInfo(probe.denied.first()).group();
    if (group.isEmpty()) group = QStringLiteral("dialout");
    return QStringLiteral(
               "No serial port could be opened: you may not use %1.\n"
               "Add yourself to the group that owns it (sudo usermod -aG %2 $USER),\n"
               "then log out and log in again.")
        .arg(probe.denied.join(QStringLiteral(", ")), group);
}

}  // namespace comlink
