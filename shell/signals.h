#pragma once

#include <QObject>

class QSocketNotifier;
class QWidget;

// SIGTERM, SIGINT and SIGHUP (a kill, Ctrl+C in the terminal that started the program, the
// terminal closed) end the program as closing its window does: a programming run stops as with
// "Stop" and sends its end frame, and the port is released with its lock. The handler itself
// only writes the signal's number into a pipe; the window is closed from the event loop.
class SignalCloser : public QObject {
public:
    explicit SignalCloser(QWidget* window);
    ~SignalCloser() override;

    // What the program exits with: 130 after SIGINT, as shells expect of Ctrl+C; otherwise the
    // event loop's own code (0 for a window that closed).
    int exitCode(int loopCode) const;

private:
    void onSignal();
    QWidget* window_;
    QSocketNotifier* notifier_ = nullptr;
    int last_ = 0;
};
