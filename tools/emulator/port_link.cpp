#include "tools/emulator/port_link.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "link/port_names.h"

namespace emu {

QString portLinkPath(const QString& name) {
    return comlink::portLinkFolder() + QLatin1Char('/') + name;
}

bool linkPty(const std::string& pty, const QString& name, LinkMode mode) {
    QDir().mkpath(comlink::portLinkFolder());
    const QString link = portLinkPath(name);
    if (mode == LinkMode::Replace) QFile::remove(link);
    // Making a link fails when the name exists: the exclusive claim needs nothing more.
    return QFile::link(QString::fromStdString(pty), link);
}

bool unlinkPty(const std::string& pty, const QString& name) {
    const QString link = portLinkPath(name);
    if (QFileInfo(link).symLinkTarget() !=
        QFileInfo(QString::fromStdString(pty)).absoluteFilePath())
        return false;
    return QFile::remove(link);
}

LinkedReader::LinkedReader(int com) : name_(comlink::comName(com)) {
    linkPty(reader.slavePath(), name_, LinkMode::Replace);
}

LinkedReader::~LinkedReader() {
    unlink();
}

void LinkedReader::unlink() {
    QFile::remove(linkPath());
}

}  // namespace emu
