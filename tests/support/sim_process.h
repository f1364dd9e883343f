#pragma once

// torvik-reader-sim as a process of its own: the reader that torvik-cli and the window reach
// through its COM name, or through ser2net in front of it.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

#include "link/port_names.h"
#include "tests/support/ser2net.h"

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

}  // namespace th
