#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QIODevice;

// The firmware image inside a ".rom" file: the file's last N bytes, N being the signed 32-bit
// little-endian length in its last four bytes (so the length is the image's own last four
// bytes). A length of zero or less takes the whole file.
namespace firmware {

// The largest image that is loaded. A new-type boot loader can ask for block 998 at most, so it
// never takes more than 999 x 262 = 261 738 bytes, and no old-type reader's flash comes near a
// few MiB: a larger image is no firmware of this reader, and is refused before it is read.
inline constexpr qint64 kMaxImageBytes = 16 * 1024 * 1024;

// The length trailer: the last four bytes of an image, its length as a signed 32-bit
// little-endian number.
inline constexpr int kTrailerBytes = 4;
qint32 trailerLength(const uchar* trailer);
void putTrailer(uchar* trailer, qint32 length);

struct ImageLoad {
    bool ok = false;
    QByteArray image;
    QString error;   // what the error box says when ok is false
    QString sha256;  // of the file as read: the bytes before the image, then the image itself
};

ImageLoad loadImage(const QString& path);

// The same from an open device; path only names the file in the messages.
ImageLoad readImage(QIODevice& f, const QString& path);

}  // namespace firmware
