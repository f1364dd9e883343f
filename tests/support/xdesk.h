#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <string>

namespace th {

// Where on the main window a user clicks: the middle of each control.
struct Spot {
    int x, y;
};
inline constexpr Spot kPortList{60, 87};
inline constexpr Spot kOpenFile{52, 126};
inline constexpr Spot kPgm{52, 188};
inline constexpr Spot kLog{270, 120};
inline constexpr Spot kReadParam{449, 215};

// A real X display (Xvfb) for the programs that a test starts as a user would, and xdotool to
// click and type on it.
//
// A click or a key that reaches a window while it cannot take it (a modal dialog still up, a
// popup still holding the pointer) is lost without a trace, so each step here waits for what
// shows that the window can take it, and a test waits for the step's effect before the next
// one. No step is ever sent twice: a second click whose first one may still be on its way does
// something else than the user meant.
class XDesk {
public:
    // How long one step may take to show its effect: generous, for a sanitizer build on two
    // busy cores; a step that works shows it in well under a second.
    static constexpr int kStepMs = 60000;

    XDesk();
    ~XDesk();
    XDesk(const XDesk&) = delete;
    XDesk& operator=(const XDesk&) = delete;

    // Xvfb and xdotool are there and the display runs.
    bool ok() const { return !display_.isEmpty(); }
    QString display() const { return display_; }
    // The environment for a program on this display, with a home of its own.
    QProcessEnvironment environment(const QString& home) const;

    // The window with this exact title, once it is mapped; empty after timeoutMs.
    QString waitForWindow(const QString& title, int timeoutMs = kStepMs) const;
    // True once no window with this exact title is mapped (as xdotool saw it, not because it
    // failed to look).
    bool waitUntilGone(const QString& title, int timeoutMs = kStepMs) const;
    // True once the window has the keyboard focus, so that typing reaches it.
    bool waitForFocus(const QString& window, int timeoutMs = kStepMs) const;

    // A click of the left button at x, y inside the window; false when xdotool failed.
    bool click(const QString& window, Spot at) const;
    // A click on a control that the window disables while it acts on it ("PGM" during its run),
    // sent once more, and said on standard error, when took() has not held after firstMs: a click
    // that reaches the window as it comes back from a modal dialog can be lost without a trace,
    // and a second one cannot act twice. True once took() holds, within kStepMs.
    bool clickUntil(const QString& window, Spot at, const std::function<bool()>& took,
                    int firstMs = 10000) const;
    // A click of the left button where the pointer is. Unlike click(), it does not wait for the
    // pointer's move to be seen, which a window busy with an exchange does not answer at once.
    bool clickWhereThePointerIs() const;
    bool key(const QStringList& keys) const;
    bool type(const QString& text) const;

    // Opens the port list and picks its last entry with the keyboard. The pick itself shows
    // only in what the program does with the port, which the test waits for.
    bool pickLastPort(const QString& window) const;
    // "Open File", the path typed into the dialog once it has the focus, and the dialog gone:
    // true when it took the file (the dialog closes only on a file that exists).
    bool chooseFile(const QString& window, const QString& path) const;
    // The clipboard's text, once it holds `wanted` (empty after timeoutMs).
    QString waitForClipboard(const QString& wanted, int timeoutMs = kStepMs) const;

    // The configurator started on this display in home with args, as a user starts it: its main
    // window once it shows; empty when it did not.
    QString startConfigurator(QProcess& app, const QString& home,
                              const QStringList& args = {}) const;

private:
    void stopServer();
    // A client can connect to the display.
    bool takesClients() const;
    struct Result {
        bool finished = false;
        int exitCode = -1;
        QString out;
    };
    Result run(const QString& program, const QStringList& args) const;
    QTemporaryDir dir_;
    QProcess server_;
    QString display_;
};

// True once done() holds, looking every 20 ms; false after timeoutMs.
template <typename F>
bool waitFor(F&& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QThread::msleep(20);
    }
    return true;
}

// A reader's device as the last port of the programs run in home: linked as COM128, the last
// name of all, so that it is the last entry of the list whatever else this machine has. The
// lock file a program takes while it holds the port; empty when the link could not be made.
QString linkAsLastPort(const QString& home, const std::string& device);

}  // namespace th
