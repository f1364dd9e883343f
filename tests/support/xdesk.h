#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

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
class XDesk {
public:
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
    QString waitForWindow(const QString& title, int timeoutMs = 10000) const;
    // A click of the left button at x, y inside the window.
    void click(const QString& window, Spot at) const;
    void key(const QStringList& keys) const;
    void type(const QString& text) const;

private:
    QString run(const QString& program, const QStringList& args, int timeoutMs = 10000) const;
    QTemporaryDir dir_;
    QProcess server_;
    QString display_;
};

}  // namespace th
