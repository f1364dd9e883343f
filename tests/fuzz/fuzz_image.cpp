// libFuzzer: any file, as "Open File" reads it: either an image of exactly the length its
// trailer names (or the whole file), or a refusal with its reason.

#include <QBuffer>
#include <QByteArray>
#include <QtEndian>

#include "firmware/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    const firmware::ImageLoad load = firmware::readImage(file, QStringLiteral("fuzz.rom"));
    if (size < 4) {
        if (load.ok) __builtin_trap();
        return 0;
    }
    const qint32 n = qFromLittleEndian<qint32>(data + size - 4);
    if (n > static_cast<qint64>(size)) {
        if (load.ok || load.error != QStringLiteral("Stream read error")) __builtin_trap();
        return 0;
    }
    if (!load.ok) __builtin_trap();
    const std::size_t expected = n <= 0 ? size : static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(load.image.size()) != expected) __builtin_trap();
    if (std::memcmp(load.image.constData(), data + size - expected, expected) != 0)
        __builtin_trap();
    return 0;
}
