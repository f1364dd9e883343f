#include "link/port_names.h"

#include "link/network_port.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <mutex>

namespace comlink {
namespace {

// The ports' threads read the root while a test may set it: a guarded copy each time.
std::mutex rootMutex;
QString root = QStringLiteral("/dev");

struct DeviceGroup {
    const char* prefix;
    int firstPort;
};

// Each group covers 32 consecutive port numbers.
constexpr DeviceGroup kGroups[] = {
    {"ttyS", 1},
    {"ttyUSB", 33},
    {"ttyACM", 65},
    {"ttyAMA", 97},
};
constexpr int kGroupSize = 32;

}  // namespace

QString comName(int n) {
    return QStringLiteral("COM") + QString::number(n);
}

int comNumber(const QString& name) {
    if (!name.startsWith(QLatin1String("COM")) || name.size() < 4 || name.size() > 6) return 0;
    const QString digits = name.mid(3);
    if (digits.startsWith(QLatin1Char('0'))) return 0;
    for (QChar c : digits)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return 0;
    const int n = digits.toInt();
    return n >= kFirstPort && n <= kLastPort ? n : 0;
}

QString portLinkFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/torvik-config/ports");
}

QString devicePath(const QString& name) {
    const int n = comNumber(name);
    if (n == 0) return {};
#ifdef Q_OS_WIN
    return QStringLiteral("\\\\.\\") + name;
#else
    const QString link = portLinkFolder() + QLatin1Char('/') + name;
    if (QFileInfo(link).isSymLink()) return link;
    for (const DeviceGroup& g : kGroups) {
        if (n >= g.firstPort && n < g.firstPort + kGroupSize)
            return deviceRoot() + QLatin1Char('/') + QLatin1String(g.prefix) +
                   QString::number(n - g.firstPort);
    }
    return {};
#endif
}

bool isDevicePath(const QString& port) {
    return port.startsWith(QLatin1Char('/')) || port.startsWith(QLatin1Char('\\'));
}

QString normalPortName(const QString& port) {
    return isDevicePath(port) || looksLikeNetworkPort(port) ? port : port.toUpper();
}

bool isDeviceFile(const QString& path) {
    const QFileInfo info(path);
    if (info.absoluteFilePath().startsWith(portLinkFolder() + QLatin1Char('/'))) return true;
    // A device is neither a regular file nor a folder, wherever it is (or a link leads to it).
    return info.exists() && !info.isFile() && !info.isDir();
}

QString portPath(const QString& port) {
    if (looksLikeNetworkPort(port) || isDevicePath(port)) return port;
    return devicePath(port);
}

QString realDevicePath(const QString& path) {
    const QFileInfo info(path);
    if (!info.isSymLink()) return path;
    const QString real = info.canonicalFilePath();
    return real.isEmpty() ? info.symLinkTarget() : real;
}

QStringList namesWithDevice() {
    QStringList names;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const QString name = comName(n);
        if (QFileInfo::exists(devicePath(name))) names << name;
    }
    return names;
}

QString networkPortsFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/torvik-config/network-ports");
}

QStringList keptNetworkPorts() {
    QFile f(networkPortsFile());
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList urls;
    // A line that names no network port (edited by hand, cut short) is passed over.
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QString url = QString::fromUtf8(line).trimmed();
        if (parseNetworkPort(url) && !urls.contains(url)) urls << url;
    }
    return urls;
}

bool keepNetworkPorts(const QStringList& urls, QString* error) {
    const QString path = networkPortsFile();
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        for (const QString& url : urls) f.write(url.toUtf8() + '\n');
        if (f.commit()) return true;
    }
    *error = QStringLiteral("%1: %2").arg(path, f.errorString());
    return false;
}

QString deviceRoot() {
    const std::lock_guard<std::mutex> lock(rootMutex);
    return root;
}
void setDeviceRoot(const QString& folder) {
    const std::lock_guard<std::mutex> lock(rootMutex);
    root = folder;
}

}  // namespace comlink
