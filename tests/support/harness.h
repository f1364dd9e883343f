#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/emulator/port_link.h"
#include "tools/emulator/pty_reader.h"

class TForm1;
class QComboBox;

// Readable failures for Qt's strings.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << '{';
    for (qsizetype i = 0; i < l.size(); ++i)
        *os << (i ? ", \"" : "\"") << l[i].toStdString() << '"';
    *os << '}';
}
QT_END_NAMESPACE

namespace th {

using emu::Bytes;

// "02 07 07 28 00 38 00" as bytes, and back.
Bytes hexBytes(const char* text);
std::string hex(const Bytes& b);
std::string hex(const uint8_t* p, std::size_t n);

using emu::LinkedReader;

// Answers every modal message box that shows while it lives, as a user pressing OK would, and
// records what each said.
class ModalCatcher : public QObject {
public:
    struct Box {
        QString caption;
        QString text;
        QString informative;
    };
    ModalCatcher();
    // Leaves the boxes to the test from now on.
    void stop() { timer_.stop(); }
    std::vector<Box> boxes;

private:
    void poll();
    QTimer timer_;
};

// The log's lines after its first, empty one.
QStringList logLines(const TForm1& form);

// Picks name in the port list as a user would; false when the list has no such item.
bool pickPort(TForm1& form, const QString& name);

// Chooses the entry with this text in a list as a user would; false when there is none.
bool chooseEntry(QComboBox* list, const QString& text);

// Holds the device open and locked, as another serial program would; -1 when that failed.
int holdDevice(const std::string& path);
void releaseDevice(int fd);

// The reader answers as this model, firmware 1.7.1, with this parameter block.
void setModel(emu::PtyReader& reader, uint8_t code, const std::array<uint8_t, 9>& params);

// A firmware file of `bytes` bytes of `fill` whose trailer is 0 (the whole file is the image),
// in dir; its path.
QString writeFillImage(const QString& dir, int bytes, char fill);

// The seed of a seeded test: TORVIK_SEED repeats a run; otherwise a new one each time. Trace it
// (SCOPED_TRACE) so that a failure prints it.
quint32 testSeed();

// CPU time this thread has used, in milliseconds.
double threadCpuMs();

// Milliseconds the call took.
template <typename F>
long long timedMs(F&& f);

}  // namespace th

#include <chrono>
template <typename F>
long long th::timedMs(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}
