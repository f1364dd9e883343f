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
    const device::OutputSettings s = windowSettings();

    // Every model that takes the full bits converts the open time, also those whose short form
    // does not carry it; a text that is no integer stops the write before anything is sent.
    uint16_t openTime = 0;
    if (device::model(Device).fullBits) {
        const std::optional<uint16_t> t = device::openTimeUnits(edTimeOpen->text());
        if (!t) {
            messageBox(QStringLiteral("Error"),
                       QStringLiteral("'%1' is not a valid integer value").arg(edTimeOpen->text()));
            return;
        }
        openTime = *t;
    }
    reader_->writeParams(Device, s, openTime);
}

device::OutputSettings TForm1::windowSettings() const {
    device::OutputSettings s;
    s.protocol = protocol;
    s.protocol2 = protocol2;
    s.typecode = typecode;
    s.cbRestrictTm = cbRestrictTm->isChecked();
    s.cbHidAnalisis = cbHidAnalisis->isChecked();
    s.cbReverseCode = cbReverseCode->isChecked();
    s.cbWgParityNo = cbWgParityNo->isChecked();
    s.cbLock = cbLock->isChecked();
    s.cbPolLock = cbPolLock->isChecked();
    s.cbRs485_232 = cbRs485_232->isChecked();
    // These two count only while they are shown.
    s.cbPulseOnlyTm = !cbPulseOnlyTm->isHidden() && cbPulseOnlyTm->isChecked();
    s.cbBcc7Uid = !cbBcc7Uid->isHidden() && cbBcc7Uid->isChecked();
    s.openTimeMs = edTimeOpen->text().toInt();
    return s;
}

std::array<QCheckBox*, 9> TForm1::optionBoxes() const {
    return {cbWgParityNo, cbBcc7Uid,    cbRs485_232,   cbPulseOnlyTm, cbLock,
            cbPolLock,    cbRestrictTm, cbReverseCode, cbHidAnalisis};
}

void TForm1::btFactorySettingsClick() {
    // Only the window's choices go back to their first entries; "Write param" sends them.
    device::OutputSettings s = windowSettings();
    device::factorySettings(s);
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
