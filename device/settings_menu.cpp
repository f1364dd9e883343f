// "Save settings..." and "Load settings...": the window's settings as a settings file, and back.

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>

#include "device/model_table.h"
#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "device/settings_file.h"
#include "filters/filter_block.h"
#include "shell/qln_boot_pgm.h"

namespace {

QString chooseFile(QWidget* parent, const QString& caption, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent, caption, QStringLiteral("."));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                       : QFileDialog::ExistingFile);
    dialog.setNameFilters(
        {QStringLiteral("Settings files (*.json)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("json"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

}  // namespace

void TForm1::saveSettingsAs() {
    if (!lastRead_) {
        saveSettings({});  // says why not
        return;
    }
    const QString path = chooseFile(this, QStringLiteral("Save settings"), QFileDialog::AcceptSave);
    if (!path.isEmpty()) saveSettings(path);
}

void TForm1::loadSettingsFrom() {
    if (!lastRead_) {
        loadSettings({});  // says why not
        return;
    }
    const QString path = chooseFile(this, QStringLiteral("Load settings"), QFileDialog::AcceptOpen);
    if (!path.isEmpty()) loadSettings(path);
}

bool TForm1::saveSettings(const QString& path) {
    if (!lastRead_) {
        InfoInfo(QStringLiteral("Save settings: press Read param first"));
        return false;
    }
    device::SettingsRecord r = *lastRead_;
    r.settings = windowSettings();
    if (bRdFilter) r.filters = filterChoice();
    QString error;
    if (!device::writeSettingsFile(path, r, &error)) {
        InfoInfo(QStringLiteral("The settings were not saved: ") + error);
        return false;
    }
    InfoInfo(QStringLiteral("Settings saved to %1").arg(path));
    return true;
}

bool TForm1::loadSettings(const QString& path) {
    if (!lastRead_) {
        InfoInfo(
            QStringLiteral("Load settings: press Read param first, so that the reader is "
                           "known"));
        return false;
    }
    QString error;
    const std::optional<device::SettingsRecord> f = device::readSettingsFile(path, &error);
    if (!f) {
        InfoInfo(QStringLiteral("Not loaded: ") + error);
        return false;
    }
    if (f->modelCode != version[3]) {
        InfoInfo(QStringLiteral("Not loaded: %1 holds the settings of model %2, the reader is "
                                "model %3")
                     .arg(path)
                     .arg(f->modelCode)
                     .arg(version[3]));
        return false;
    }
    // What the window cannot show, it cannot load: each such value is named.
    const device::OutputSettings now = windowSettings();
    const device::OutputSettings& s = f->settings;
    QStringList misfits;
    if (s.protocol != now.protocol && s.protocol >= cbTypeProt->count())
        misfits << QStringLiteral("protocol %1").arg(s.protocol);
    if (s.protocol2 != now.protocol2 && s.protocol2 >= cbTypeProt2->count())
        misfits << QStringLiteral("protocol2 %1").arg(s.protocol2);
    const auto boxes = optionBoxes();
    for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i) {
        const auto member = device::kOptionKeys[i].member;
        // The serial box shows beside the second list's third entry.
        const bool shown =
            i == 2 ? s.protocol2 == device::kSecondProtocolSerial : !boxes[i]->isHidden();
        if (s.*member != now.*member && !shown)
            misfits << QLatin1String(device::kOptionKeys[i].name);
    }
    if (device::model(Device).longWrite && s.openTimeMs % device::kOpenTimeUnitMs != 0)
        misfits << QStringLiteral("openTimeMs %1").arg(s.openTimeMs);
    if (f->filters && bRdFilter && device::applyFilterRules(*f->filters).checked != *f->filters)
        misfits << QStringLiteral("filters the rules hold back");
    if (!misfits.isEmpty()) {
        InfoInfo(QStringLiteral("Not loaded: this reader cannot show ") +
                 misfits.join(QStringLiteral(", ")));
        return false;
    }

    cbBcc7Uid->setChecked(false);
    if (device::model(Device).layout == device::Layout::ShortBlock)
        showSettingsShort(s);
    else
        showSettings(s);
    if (f->filters && bRdFilter) {
        // The boxes as "Read param" shows a block that holds these filters.
        uint8_t block[filters::kBlockSize];
        std::copy(param_1, param_1 + filters::kBlockSize, block);
        const uint8_t tp = device::model(Device).zeroPolarity;
        for (int i = 0; i < filters::kBoxCount; ++i) {
            const filters::BoxBit bit = filters::kBoxBits[i];
            bool set = (*f->filters)[i];
            if (i == filters::Zero && tp == 1) set = !set;
            block[bit.byte] = set ? (block[bit.byte] | bit.mask) : (block[bit.byte] & ~bit.mask);
        }
        ParseFilter(block, tp);
    }
    InfoInfo(QStringLiteral("Settings loaded from %1: Write param writes them").arg(path));
    return true;
}
