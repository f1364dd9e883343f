#include "firmware/image.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

namespace firmware {

namespace {
constexpr int kTrailerBytes = 4;
}

ImageLoad loadImage(const QString& path) {
    ImageLoad r;
    if (!QFileInfo::exists(path)) {
        r.error = QStringLiteral("File not found \"%1\"").arg(path);
        return r;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        r.error = QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString());
        return r;
    }
    return readImage(f, path);
}

ImageLoad readImage(QIODevice& f, const QString& path) {
    ImageLoad r;
    const qint64 size = f.size();
    if (size < kTrailerBytes) {
        r.error = QStringLiteral("The file \"%1\" is too short to hold an image length").arg(path);
        return r;
    }
    uchar trailer[kTrailerBytes];
    if (!f.seek(size - kTrailerBytes) ||
        f.read(reinterpret_cast<char*>(trailer), kTrailerBytes) != kTrailerBytes) {
        r.error = QStringLiteral("Cannot read file \"%1\". %2").arg(path, f.errorString());
        return r;
    }
    const qint32 length = qFromLittleEndian<qint32>(trailer);
    const qint64 start = length <= 0 ? 0 : size - length;
    if (start < 0) {
        // The image would start before the file does.
        r.error = QStringLiteral("Stream read error");
        return r;
    }
    f.seek(start);
    r.image = f.read(size - start);
    if (r.image.size() != size - start) {
        r.error = QStringLiteral("Stream read error");
        r.image.clear();
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace firmware
