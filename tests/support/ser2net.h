#pragma once

// Debian's ser2net on the loopback, in front of a reader's pseudo-terminal: the reader as
// torvik-cli, the window and torvik-bench reach it on the network.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <vector>

namespace th {

// A TCP port of the loopback that nothing listens on now.
inline quint16 freeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Whether something listens on the loopback's TCP port, as the kernel lists it: nothing is
// connected to it, so no server opens its device to see.
inline bool listening(quint16 port) {
    QFile tcp(QStringLiteral("/proc/net/tcp"));
    if (!tcp.open(QIODevice::ReadOnly)) return false;
    const QByteArray local =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : tcp.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[1] == local && f[3] == "0A") return true;
    }
    return false;
}

// ser2net on 127.0.0.1, from a YAML file of its own in a temporary folder: one connection a
// device, RFC 2217 (telnet(rfc2217),tcp) or the bytes alone (tcp).
class Ser2net {
public:
    struct Line {
        QString device;
        bool rfc2217 = true;
        quint16 port = 0;  // chosen when 0
    };
    explicit Ser2net(std::vector<Line> lines) : lines_(std::move(lines)) { start(); }
    ~Ser2net() { kill(); }

    // The URL of line i.
    QString url(std::size_t i) const {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(lines_[i].rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("socket"))
            .arg(lines_[i].port);
    }
    bool running() const { return p_.state() == QProcess::Running && listening_; }
    // The server gone at once, as a pulled network cable or a crash leaves it.
    void kill() {
        if (p_.state() == QProcess::NotRunning) return;
        p_.kill();
        p_.waitForFinished(3000);
    }
    QString output() { return QString::fromUtf8(p_.readAll()); }
    // Whether the server has the device open now, as its file descriptors say.
    bool holds(const QString& device) const {
        const QString real = QFileInfo(device).canonicalFilePath();
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(p_.processId()));
        for (const QFileInfo& fd : fds.entryInfoList(QDir::Files | QDir::System))
            if (fd.symLinkTarget() == real) return true;
        return false;
    }
    // ser2net closes a device a moment after its client has left: until then a program that
    // opens it as a local port shares its input with the server. True once it is let go.
    bool waitUntilReleased(const QString& device, int ms = 3000) const {
        const QDeadlineTimer deadline(ms);
        while (holds(device)) {
            if (deadline.hasExpired()) return false;
            QThread::msleep(10);
        }
        return true;
    }

private:
    void start() {
        QByteArray yaml;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            Line& l = lines_[i];
            if (l.port == 0) l.port = freeTcpPort();
            yaml += QStringLiteral(
                        "connection: &line%1\n"
                        "  accepter: %2tcp,127.0.0.1,%3\n"
                        "  connector: serialdev,%4,9600n81,local\n"
                        "  options:\n"
                        "    kickolduser: false\n")
                        .arg(i)
                        .arg(l.rfc2217 ? QStringLiteral("telnet(rfc2217),") : QString())
                        .arg(l.port)
                        .arg(l.device)
                        .toUtf8();
        }
        QFile f(dir_.filePath(QStringLiteral("ser2net.yaml")));
        if (!f.open(QIODevice::WriteOnly) || f.write(yaml) != yaml.size()) return;
        f.close();
        p_.setProcessChannelMode(QProcess::MergedChannels);
        p_.start(QStringLiteral("ser2net"),
                 {"-n", "-d", "-c", f.fileName(), "-P", dir_.filePath(QStringLiteral("pid"))});
        if (!p_.waitForStarted(5000)) return;
        const QDeadlineTimer deadline(10000);
        for (;;) {
            bool all = true;
            for (const Line& l : lines_) all = all && listening(l.port);
            if (all || deadline.hasExpired() || p_.state() != QProcess::Running) {
                listening_ = all;
                return;
            }
            QThread::msleep(20);
        }
    }

    std::vector<Line> lines_;
    QTemporaryDir dir_;
    QProcess p_;
    bool listening_ = false;
};

}  // namespace th
