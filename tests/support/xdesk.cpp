#include "tests/support/xdesk.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

namespace th {

XDesk::XDesk() {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() ||
        QStandardPaths::findExecutable("xdotool").isEmpty())
        return;
    // Xvfb picks a free display itself and writes its number to fd 3.
    const QString numberFile = dir_.filePath("display");
    server_.setProgram("/bin/sh");
    server_.setArguments(
        {"-c", "exec Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>\"$0\"", numberFile});
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start();
    if (!server_.waitForStarted()) return;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000 && server_.state() == QProcess::Running) {
        QFile f(numberFile);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray n = f.readAll().trimmed();
            if (!n.isEmpty() && f.size() > 0 && n.back() >= '0') {
                display_ = ":" + QString::fromLatin1(n);
                return;
            }
        }
        QThread::msleep(20);
    }
}

XDesk::~XDesk() {
    if (server_.state() != QProcess::NotRunning) {
        server_.terminate();
        if (!server_.waitForFinished(3000)) server_.kill();
        server_.waitForFinished(1000);
    }
}

QProcessEnvironment XDesk::environment(const QString& home) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("HOME", home);
    env.remove("XDG_DATA_HOME");
    env.remove("XDG_CONFIG_HOME");
    env.insert("XDG_RUNTIME_DIR", home);
    // In a sanitizer build the X platform's own libraries keep caches until exit that the leak
    // checker would count; leaks of the program's code are the in-process tests' to find.
    if (env.contains("ASAN_OPTIONS"))
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
    return env;
}

QString XDesk::run(const QString& program, const QStringList& args, int timeoutMs) const {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(timeoutMs);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString XDesk::waitForWindow(const QString& title, int timeoutMs) const {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        const QString ids =
            run("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"}, 2000);
        if (!ids.isEmpty()) return ids.split('\n').first();
        QThread::msleep(50);
    }
    return {};
}

void XDesk::click(const QString& window, Spot at) const {
    run("xdotool", {"mousemove", "--sync", "--window", window, QString::number(at.x),
                    QString::number(at.y), "click", "1"});
}

void XDesk::key(const QStringList& keys) const {
    run("xdotool", QStringList{"key", "--delay", "30"} + keys);
}

void XDesk::type(const QString& text) const {
    run("xdotool", {"type", "--delay", "5", text});
}

}  // namespace th
