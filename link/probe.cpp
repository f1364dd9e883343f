#include "link/probe.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <optional>

#include "link/port_names.h"

namespace comlink {

namespace {

// What the system knows of the adapter behind a port, found in one enumeration of the serial
// ports for the whole probe, and only for a device that is an adapter: a pseudo-terminal or the
// like has nothing to tell, and the enumeration walks all of /sys.
QString describe(const QString& path, const QString& real,
                 std::optional<QList<QSerialPortInfo>>& ports) {
    QStringList lines;
    lines << (real == path ? path : real + QStringLiteral(" (") + path + QLatin1Char(')'));
#ifdef Q_OS_UNIX
    if (!QFileInfo::exists(QStringLiteral("/sys/class/tty/") + QFileInfo(real).fileName() +
                           QStringLiteral("/device")))
        return lines.join(QLatin1Char('\n'));
#endif
    if (!ports) ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : *ports) {
        if (info.systemLocation() != real) continue;
        if (!info.description().isEmpty()) lines << info.description();
        if (!info.manufacturer().isEmpty()) lines << info.manufacturer();
        if (!info.serialNumber().isEmpty())
            lines << QStringLiteral("Serial number ") + info.serialNumber();
        break;
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

QString adapterSerialNumber(const QString& device) {
#ifdef Q_OS_UNIX
    if (!QFileInfo::exists(QStringLiteral("/sys/class/tty/") + QFileInfo(device).fileName() +
                           QStringLiteral("/device")))
        return {};
#endif
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.systemLocation() == device) return info.serialNumber();
    return {};
}

namespace {

void addLeftOut(ProbeResult& r, const QString& device, OpenFailure why) {
    for (const LeftOut& l : r.leftOut)
        if (l.device == device) return;
    r.leftOut.push_back({device, why});
}

// How this user gets the right to a device: through the group that owns it, or, for a device of
// root alone, through a rule that gives it a group.
QString permissionFix(const QString& device) {
    const QString group = QFileInfo(device).group();
    if (!group.isEmpty() && group != QLatin1String("root"))
        return QStringLiteral(
                   "add yourself to its group %1 (sudo usermod -aG %1 $USER), then log "
                   "out and log in again")
            .arg(group);
    return QStringLiteral(
        "only root may use it: a udev rule can give it a group of yours, "
        "e.g. GROUP=\"dialout\"");
}

}  // namespace

ProbeResult probePorts(const std::function<bool(const QString& name)>& skip) {
    ProbeResult r;
    std::optional<QList<QSerialPortInfo>> adapters;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const QString name = comName(n);
        if (skip && skip(name)) continue;
        const QString path = devicePath(name);
        auto port = makeSerialPort();
        if (!port->open(path)) {
            const OpenFailure why = port->openFailure();
            if (why != OpenFailure::Missing && why != OpenFailure::None)
                addLeftOut(r, realDevicePath(path), why);
            continue;
        }
        port->close();
        const QString real = realDevicePath(path);
        r.ports.push_back({name, path, real, describe(path, real, adapters)});
    }
    return r;
}

QString leftOutHint(const std::vector<LeftOut>& leftOut, bool anyListed) {
    if (leftOut.empty()) return {};
    QStringList held, notSerial, terminals;
    QStringList lines;
    lines << (anyListed ? QStringLiteral("Serial devices not listed:")
                        : QStringLiteral("No serial port can be opened here."));
    for (const LeftOut& l : leftOut) {
        switch (l.why) {
            case OpenFailure::Held:
                held << l.device;
                break;
            case OpenFailure::Terminal:
                terminals << l.device;
                break;
            case OpenFailure::Permission:
                lines << QStringLiteral("%1: you may not use it; %2.")
                             .arg(l.device, permissionFix(l.device));
                break;
            default:
                notSerial << l.device;
                break;
        }
    }
    if (!held.isEmpty())
        lines << QStringLiteral("%1: held by another program (sudo fuser -v %2 names it).")
                     .arg(held.join(QStringLiteral(", ")), held.first());
    if (!terminals.isEmpty())
        lines << QStringLiteral("%1: a terminal in use by a running program, left alone.")
                     .arg(terminals.join(QStringLiteral(", ")));
    if (!notSerial.isEmpty())
        lines
            << QStringLiteral("%1: not a serial device.").arg(notSerial.join(QStringLiteral(", ")));
    return lines.join(QLatin1Char('\n'));
}

}  // namespace comlink
