#include "tests/support/xdesk.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>
#include <cstdio>

namespace th {

XDesk::XDesk() {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() ||
        QStandardPaths::findExecutable("xdotool").isEmpty())
        return;
    // A display of its own, on a number picked at random far from the usual ones. A display is
    // handed out only once a client has connected to it; a number that another server holds
    // makes Xvfb end, and another number is tried.
    //
    // -noreset: by default the server resets each time its last client leaves, and a client
    // that connects during the reset is refused. The tests' xdotool calls come and go while the
    // program starts, so the program's own connection sometimes fell into a reset ("could not
    // connect to display", the window never shown): 8 of 400 xdpyinfo connections beside two
    // loops of xdotool failed so without -noreset, none with it.
    for (int attempt = 0; attempt < 8 && display_.isEmpty(); ++attempt) {
        const int number = QRandomGenerator::global()->bounded(200, 30000);
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
            QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            continue;
        display_ = QStringLiteral(":%1").arg(number);
        server_.setProgram("Xvfb");
        server_.setArguments(
            {display_, "-noreset", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server_.start();
        if (server_.waitForStarted() && takesClients()) return;
        display_.clear();
        stopServer();
    }
}

bool XDesk::takesClients() const {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000 && server_.state() == QProcess::Running) {
        const Result r = run("xdotool", {"getdisplaygeometry"});
        if (r.finished && r.exitCode == 0) return true;
        QThread::msleep(100);
    }
    return false;
}

void XDesk::stopServer() {
    if (server_.state() != QProcess::NotRunning) {
        server_.terminate();
        if (!server_.waitForFinished(3000)) server_.kill();
        server_.waitForFinished(1000);
    }
}

XDesk::~XDesk() {
    stopServer();
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

XDesk::Result XDesk::run(const QString& program, const QStringList& args) const {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    p.setProcessEnvironment(env);
    p.start(program, args);
    Result r;
    // xdotool answers in milliseconds; a busy machine may take seconds, and a call that takes
    // longer is ended here rather than left running behind the test.
    r.finished = p.waitForFinished(30000);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(1000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    return r;
}

namespace {

template <typename F>
bool poll(F&& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    for (;;) {
        if (done()) return true;
        if (t.elapsed() > timeoutMs) return false;
        QThread::msleep(50);
    }
}

}  // namespace

QString XDesk::waitForWindow(const QString& title, int timeoutMs) const {
    QString id;
    poll(
        [&] {
            const Result r =
                run("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"});
            if (r.finished && r.exitCode == 0 && !r.out.isEmpty()) id = r.out.split('\n').first();
            return !id.isEmpty();
        },
        timeoutMs);
    return id;
}

bool XDesk::waitUntilGone(const QString& title, int timeoutMs) const {
    return poll(
        [&] {
            // xdotool's search ends with 1 when it found nothing.
            const Result r =
                run("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"});
            return r.finished && r.exitCode == 1 && r.out.isEmpty();
        },
        timeoutMs);
}

bool XDesk::waitForFocus(const QString& window, int timeoutMs) const {
    return poll(
        [&] {
            const Result r = run("xdotool", {"getwindowfocus"});
            return r.finished && r.exitCode == 0 && r.out == window;
        },
        timeoutMs);
}

bool XDesk::click(const QString& window, Spot at) const {
    const Result r = run("xdotool", {"mousemove", "--sync", "--window", window,
                                     QString::number(at.x), QString::number(at.y), "click", "1"});
    return r.finished && r.exitCode == 0;
}

bool XDesk::clickUntil(const QString& window, Spot at, const std::function<bool()>& took,
                       int firstMs) const {
    if (!click(window, at)) return false;
    if (poll(took, firstMs)) return true;
    std::fprintf(stderr, "xdesk: the click at %d,%d showed no effect in %d ms: clicked again\n",
                 at.x, at.y, firstMs);
    return click(window, at) && poll(took, kStepMs);
}

bool XDesk::clickWhereThePointerIs() const {
    const Result r = run("xdotool", {"click", "1"});
    return r.finished && r.exitCode == 0;
}

bool XDesk::key(const QStringList& keys) const {
    const Result r = run("xdotool", QStringList{"key", "--delay", "30"} + keys);
    return r.finished && r.exitCode == 0;
}

bool XDesk::type(const QString& text) const {
    const Result r = run("xdotool", {"type", "--delay", "5", text});
    return r.finished && r.exitCode == 0;
}

bool XDesk::pickLastPort(const QString& window) const {
    // The keys reach the list's popup however soon they come: the window hands every key to
    // the popup that the click opened, in the order the X server delivered them.
    return click(window, kPortList) && key({"End", "Return"});
}

bool XDesk::chooseFile(const QString& window, const QString& path) const {
    const QString title = QStringLiteral("Select the file to download");
    if (!click(window, kOpenFile)) return false;
    const QString dialog = waitForWindow(title);
    // Typing before the dialog has the focus would go to another window.
    if (dialog.isEmpty() || !waitForFocus(dialog)) return false;
    return key({"ctrl+a"}) && type(path) && key({"Return"}) && waitUntilGone(title);
}

QString XDesk::startConfigurator(QProcess& app, const QString& home,
                                 const QStringList& args) const {
    app.setProcessEnvironment(environment(home));
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(QStringLiteral(TORVIK_CONFIG_PATH), args);
    if (!app.waitForStarted()) return {};
    return waitForWindow(QStringLiteral("Torvik config V15"));
}

QString linkAsLastPort(const QString& home, const std::string& device) {
    const QString links = home + QStringLiteral("/.local/share/torvik-config/ports");
    const QString path = QString::fromStdString(device);
    if (!QDir().mkpath(links) || !QFile::link(path, links + QStringLiteral("/COM128"))) return {};
    return QStringLiteral("/run/lock/LCK..") + path.mid(5).replace('/', '_');
}

QString XDesk::waitForClipboard(const QString& wanted, int timeoutMs) const {
    QString text;
    poll(
        [&] {
            const Result r = run("xclip", {"-o", "-selection", "clipboard"});
            if (r.finished && r.exitCode == 0) text = r.out;
            return text.contains(wanted);
        },
        timeoutMs);
    return text;
}

}  // namespace th
