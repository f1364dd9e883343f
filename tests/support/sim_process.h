#pragma once

// torvik-reader-sim as a process of its own, and Debian's ser2net in front of it: the readers
// that torvik-cli and the window reach through a port, local or on the network.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

#include "link/port_names.h"

namespace th {

// The simulator finds the same link folder as the configurator under test.
inline QProcessEnvironment simEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME",
               QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    return env;
}

class Sim {
public:
    explicit Sim(const QStringList& args) {
        p.setProcessEnvironment(simEnvironment());
        p.start(QStringLiteral(TORVIK_SIM_PATH), args);
        p.waitForStarted();
    }
    ~Sim() {
        if (p.state() != QProcess::NotRunning) {
            p.terminate();
            p.waitForFinished(3000);
        }
    }
    // Waits for the banner and returns the COM name it took.
    QString comName() {
        for (int i = 0; i < 100 && !out.contains(" on COM"); ++i) {
            p.waitForReadyRead(50);
            out += QString::fromUtf8(p.readAllStandardOutput());
        }
        const int at = out.indexOf(" on COM");
        return at < 0 ? QString() : out.mid(at + 4).section('\n', 0, 0).trimmed();
    }
    // The pseudo-terminal behind its COM name.
    QString device() { return comlink::realDevicePath(comlink::devicePath(comName())); }
    QString output() {
        p.waitForReadyRead(100);
        out += QString::fromUtf8(p.readAllStandardOutput());
        return out;
    }
    QProcess p;
    QString out;
};

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
            QTest::qWait(20);
        }
    }

    std::vector<Line> lines_;
    QTemporaryDir dir_;
    QProcess p_;
    bool listening_ = false;
};

}  // namespace th
