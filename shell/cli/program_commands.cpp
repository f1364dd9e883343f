// boot and program: "Go to the BOOT", and a programming run from a firmware file.

#include <QElapsedTimer>
#include <QThread>
#include <span>

#include "firmware/image.h"
#include "shell/cli/bench.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

int runBoot(Session& s) {
    return s.reader().enterBootLoader() == comlink::Reply::Accepted ? kOk : kFailed;
}

int prepareProgram(Session& s) {
    // Nothing goes on the line for an image that is not there. Every port sends the bytes read
    // once at the start.
    std::shared_ptr<const JobFile> f;
    if (const int e = useJobFile(s.options(), &f)) return e;
    s.image = f->image;
    return kOk;
}

int runProgram(Session& s) {
    const Options& o = s.options();
    device::ProgramChoice choice;
    choice.progPgm = o.progPgm;
    choice.avtoSetFilter = o.avtoSetFilter;
    choice.inBoot = o.inBoot;
    choice.stallTimeoutS = o.stallTimeoutS;
    // On a bench, and for a unit's record, the firmware the reader runs after the run.
    choice.firmwareAfter = o.severalPorts() || !o.units.isEmpty();
    return s.program(s.image, choice);
}

QString progressLine(bool terminal, int percent, qint64 imageBytes, qint64 elapsedMs,
                     const QString& logLine) {
    const qint64 done = imageBytes * percent / 100;
    const QString clock = QStringLiteral("%1:%2")
                              .arg(elapsedMs / 60000, 2, 10, QLatin1Char('0'))
                              .arg(elapsedMs / 1000 % 60, 2, 10, QLatin1Char('0'));
    if (!terminal)
        return QStringLiteral("%1: %2/%3 bytes, %4%, %5")
            .arg(logLine)
            .arg(done)
            .arg(imageBytes)
            .arg(percent)
            .arg(clock);
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    return QStringLiteral("[%1%2] %3%  %4  %5/%6 bytes  %7")
        .arg(QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char('.')))
        .arg(percent, 3)
        .arg(logLine, -28)
        .arg(done)
        .arg(imageBytes)
        .arg(clock);
}

}  // namespace cli
