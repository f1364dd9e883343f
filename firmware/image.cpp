#include "firmware/image.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

namespace firmware {

namespace {
const QString kNotRegular = QStringLiteral("It is not a regular file.");
}  // namespace

qint32 trailerLength(const uchar* trailer) {
    return qFromLittleEndian<qint32>(trailer);
}

void putTrailer(uchar* trailer, qint32 length) {
    qToLittleEndian(length, trailer);
}

ImageLoad loadImage(const QString& path) {
    ImageLoad r;
    const QFileInfo info(path);
    if (!info.exists()) {
        r.error = QStringLiteral("File not found \"%1\"").arg(path);
        return r;
    }
    // A FIFO, a device or a socket would block the window in its open or read for ever: only a
    // regular file holds an image, and that is known before anything is opened.
    if (!info.isFile()) {
        r.error = QStringLiteral("Cannot open file \"%1\". %2").arg(path, kNotRegular);
        return r;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        r.error = QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString());
        return r;
    }
    if (f.isSequential()) {
        // Replaced by something else between the test and the open.
        r.error = QStringLiteral("Cannot open file \"%1\". %2").arg(path, kNotRegular);
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
    const qint32 length = trailerLength(trailer);
    const qint64 start = length <= 0 ? 0 : size - length;
    if (start < 0) {
        // The image would start before the file does.
        r.error = QStringLiteral("Stream read error");
        return r;
    }
    const qint64 imageBytes = size - start;
    if (imageBytes > kMaxImageBytes) {
        // Checked before anything is allocated for it.
        r.error = QStringLiteral(
                      "The image in \"%1\" is %2 bytes long, more than the %3 bytes "
                      "(16 MiB) that the configurator loads")
                      .arg(path)
                      .arg(imageBytes)
                      .arg(kMaxImageBytes);
        return r;
    }
    f.seek(start);
    r.image = f.read(imageBytes);
    if (r.image.size() != imageBytes) {
        r.error = QStringLiteral("Stream read error");
        r.image.clear();
        return r;
    }
    // The file's hash takes the image from memory, so that it names the very bytes that are sent
    // however the file changes afterwards.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (start > 0) {
        const QByteArray head = f.seek(0) ? f.read(start) : QByteArray();
        if (head.size() != start) {
            r.error = QStringLiteral("Stream read error");
            r.image.clear();
            return r;
        }
        hash.addData(head);
    }
    hash.addData(r.image);
    r.sha256 = QString::fromLatin1(hash.result().toHex());
    r.ok = true;
    return r;
}

}  // namespace firmware
