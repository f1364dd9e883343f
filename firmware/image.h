#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// The firmware image inside a ".rom" file: the file's last N bytes, N being the signed 32-bit
// little-endian length in its last four bytes (so the length is the image's own last four
// bytes). A length of zero or less takes the whole file.
namespace firmware {

struct ImageLoad {
    bool ok = false;
    QByteArray image;
    QString error;  // what the error box says when ok is false
};

ImageLoad loadImage(const QString& path);

// The same from an open device; path only names the file in the messages.
ImageLoad readImage(QIODevice& f, const QString& path);

}  // namespace firmware
