#include "tests/support/harness.h"

#include "link/frame.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <cstdio>

#include "link/port_names.h"
#include "shell/qln_boot_pgm.h"

namespace th {

Bytes hexBytes(const char* text) {
    Bytes out;
    unsigned v = 0;
    int digits = 0;
    for (const char* c = text; *c; ++c) {
        int d = -1;
        if (*c >= '0' && *c <= '9')
            d = *c - '0';
        else if (*c >= 'A' && *c <= 'F')
            d = *c - 'A' + 10;
        else if (*c >= 'a' && *c <= 'f')
            d = *c - 'a' + 10;
        if (d < 0) continue;
        v = v * 16 + static_cast<unsigned>(d);
        if (++digits == 2) {
            out.push_back(static_cast<uint8_t>(v));
            v = 0;
            digits = 0;
        }
    }
    return out;
}

std::string hex(const uint8_t* p, std::size_t n) {
    return comlink::hexDump(p, n);
}

std::string hex(const Bytes& b) {
    return hex(b.data(), b.size());
}

ModalCatcher::ModalCatcher() {
    connect(&timer_, &QTimer::timeout, this, &ModalCatcher::poll);
    timer_.start(10);
}

void ModalCatcher::poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    boxes.push_back({box->windowTitle(), box->text(), box->informativeText()});
    box->done(QMessageBox::Ok);
}

QStringList logLines(const TForm1& form) {
    QStringList lines = form.mm->toPlainText().split('\n');
    if (!lines.isEmpty() && lines.first().isEmpty()) lines.removeFirst();
    return lines;
}

bool chooseEntry(QComboBox* list, const QString& text) {
    const int i = list->findText(text);
    if (i < 0) return false;
    device::chooseEntry(list, i);
    return true;
}

bool pickPort(TForm1& form, const QString& name) {
    return chooseEntry(form.cbCom, name);
}

int holdDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void releaseDevice(int fd) {
    if (fd >= 0) ::close(fd);
}

void setModel(emu::PtyReader& reader, uint8_t code, const std::array<uint8_t, 9>& params) {
    reader.withModel([&](emu::ReaderModel& m) {
        m.state.version = {1, 7, 1, code};
        m.state.params = params;
    });
}

QString writeFillImage(const QString& dir, int bytes, char fill) {
    QByteArray image(bytes, fill);
    image.replace(image.size() - 4, 4, QByteArray(4, 0));
    const QString path = dir + QStringLiteral("/fw.rom");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(image);
    return path;
}

quint32 testSeed() {
    const QByteArray given = qgetenv("TORVIK_SEED");
    return given.isEmpty() ? QRandomGenerator::global()->generate() : given.toUInt();
}

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace th
