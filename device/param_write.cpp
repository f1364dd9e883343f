// "Write param" and "Factory Settings".

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QString>

#include "device/model_table.h"
#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "device/settings.h"
#include "shell/qln_boot_pgm.h"

void TForm1::btWriteParamClick() {
    if (!requirePort() || !requireReader()) return;
    // Every model that takes the full bits converts the open time, also those whose short form
    // does not carry it; a text that is no integer stops the write before anything is sent.
    if (config_.row().fullBits && !device::openTimeUnits(edTimeOpen->text())) {
        messageBox(QStringLiteral("Error"),
                   QStringLiteral("'%1' is not a valid integer value").arg(edTimeOpen->text()));
        return;
    }
    reader_->writeParams(config_.device(), config_.sentSettings(), config_.openTimeUnits());
}

std::array<QCheckBox*, device::kOptionKeys.size()> TForm1::optionBoxes() const {
    return {cbWgParityNo, cbBcc7Uid,    cbRs485_232,   cbPulseOnlyTm, cbLock,
            cbPolLock,    cbRestrictTm, cbReverseCode, cbHidAnalisis};
}

void TForm1::btFactorySettingsClick() {
    // Only the window's choices go back to their first entries; "Write param" sends them.
    device::factorySettings(config_.settings);
    const device::OutputSettings& s = config_.settings;
    protocol = s.protocol;
    device::selectEntry(cbTypeProt, protocol);
    log(cbTypeProt->currentText());
    protocol2 = s.protocol2;
    device::selectEntry(cbTypeProt2, protocol2);
    log(cbTypeProt2->currentText());  // empty on a reader whose second list is empty
    typecode = s.typecode;
    device::selectEntry(cobTypeCode, typecode);
    log(cobTypeCode->currentText());
}
