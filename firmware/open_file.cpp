// "Open File": the firmware image held in memory for the programming run.

#include <QBuffer>
#include <QFileDialog>

#include "firmware/image.h"
#include "shell/qln_boot_pgm.h"

void TForm1::btOpenFileClick() {
    // A new choice always starts by dropping the image loaded before.
    if (FOPEN) {
        F.reset();
        FOPEN = false;
    }
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
        messageBox(QStringLiteral("Error"), load.error);
        return false;
    }
    F = std::make_unique<QBuffer>();
    F->setData(load.image);
    F->open(QIODevice::ReadOnly);
    F->seek(F->size());  // the run takes the image from the buffer, not from this position
    FOPEN = true;
    return true;
}
