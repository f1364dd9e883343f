#include "shell/signals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace {

int pipeFds[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignalAsync(int sig) {
    // Only what is safe in a signal handler: one write to the pipe.
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t w = ::write(pipeFds[1], &b, 1);
}

}  // namespace
#endif

SignalCloser::SignalCloser(QWidget* window) : window_(window) {
#ifdef Q_OS_UNIX
    if (::pipe(pipeFds) != 0) return;
    for (int fd : pipeFds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalCloser::onSignal);
    struct sigaction sa = {};
    sa.sa_handler = onSignalAsync;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
#endif
}

SignalCloser::~SignalCloser() {
#ifdef Q_OS_UNIX
    if (!notifier_) return;
    for (int sig : kSignals) ::signal(sig, SIG_DFL);
    delete notifier_;
    for (int& fd : pipeFds) {
        ::close(fd);
        fd = -1;
    }
#endif
}

int SignalCloser::exitCode(int loopCode) const {
#ifdef Q_OS_UNIX
    if (last_ == SIGINT) return 128 + SIGINT;
#endif
    return loopCode;
}

void SignalCloser::onSignal() {
#ifdef Q_OS_UNIX
    unsigned char b = 0;
    while (::read(pipeFds[0], &b, 1) == 1) last_ = b;
#endif
    // A box or dialog waiting for the user is answered as a user closing it would; then the
    // window closes, which stops a run first.
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal) break;
    }
    window_->close();
}
