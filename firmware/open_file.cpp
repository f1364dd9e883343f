// "Open File": the firmware image held in memory for the programming run.

#include <QBuffer>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>

#include "firmware/image.h"
#include "shell/qln_boot_pgm.h"

void TForm1::btOpenFileClick() {
    // A new choice always starts by dropping the image loaded before.
    if (FOPEN) {
        F.reset();
        FOPEN = false;
    }
    btPGM->setToolTip(QStringLiteral("No image loaded"));
    QFileDialog dialog(this, QStringLiteral("Select the file to download"), QStringLiteral("."));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(
        {QStringLiteral("Files Excel (*.rom)"), QStringLiteral("All files (*.*)")});
    dialog.selectNameFilter(QStringLiteral("Files Excel (*.rom)"));
    dialog.setDefaultSuffix(QStringLiteral("rom"));
    dialog.selectFile(QStringLiteral("*.rom"));
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    loadFirmware(dialog.selectedFiles().first());
}

bool TForm1::loadFirmware(const QString& path) {
    if (FOPEN) {
        F.reset();
        FOPEN = false;
    }
    firmware::ImageLoad load = firmware::loadImage(path);
    if (!load.ok) {
        btPGM->setToolTip(QStringLiteral("No image loaded"));
        messageBox(QStringLiteral("Error"), load.error);
        return false;
    }
    // What "PGM" will send, where the user looks for it: the file, the image, and where the
    // length trailer put the image's start.
    const qint64 fileBytes = QFileInfo(path).size();
    const qint64 offset = fileBytes - load.image.size();
    btPGM->setToolTip(
        offset > 0 ? QStringLiteral("%1: an image of %2 bytes, from byte %3 of the file's %4")
                         .arg(QFileInfo(path).fileName())
                         .arg(load.image.size())
                         .arg(offset)
                         .arg(fileBytes)
                   : QStringLiteral("%1: an image of %2 bytes, the whole file")
                         .arg(QFileInfo(path).fileName())
                         .arg(load.image.size()));
    F = std::make_unique<QBuffer>();
    F->setData(load.image);
    F->open(QIODevice::ReadOnly);
    F->seek(F->size());  // the run takes the image from the buffer, not from this position
    FOPEN = true;
    return true;
}
