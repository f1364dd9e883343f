// The reader's 9-byte parameter block: the request that reads it and its decode into the window.
// The reader layer reads and decodes it, and logs what it says; here it goes into the controls.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "device/model_table.h"
#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "device/settings.h"
#include "link/commands.h"
#include "shell/qln_boot_pgm.h"

bool TForm1::getParamSTCOM(uint8_t* p) {
    return reader_->readData(comlink::cmd::kParams, p, device::kPlainReplyLines) ==
           comlink::Reply::Accepted;
}

// The block's settings into the controls; the reader layer has logged what the block says.
void TForm1::decodeParamsShort() {
    showSettingsShort(device::decodeParamBlock(param_1).settings);
}

void TForm1::decodeParams() {
    const device::ParamDecode d = device::decodeParamBlock(param_1);
    if (d.mode == device::kModeProtected) Fguard = true;
    if (device::model(Device).keyManagement && d.mode == 0) lbLockInGuard->setEnabled(false);
    showSettings(d.settings);
}

// Settings into the controls as "Read param" puts a block's there: by program, so that no list
// handler runs and nothing is logged.
void TForm1::showSettingsShort(const device::OutputSettings& s) {
    cbHidAnalisis->setChecked(s.cbHidAnalisis);
    cbRestrictTm->setChecked(s.cbRestrictTm);
    btWriteParam->setEnabled(FCONNECT);
    showProtocols(s);
}

void TForm1::showProtocols(const device::OutputSettings& s) {
    protocol = s.protocol;
    if (protocol != device::kProtocolUndefined) device::selectEntry(cbTypeProt, protocol);
    protocol2 = s.protocol2;
    device::selectEntry(cbTypeProt2, protocol2);
    cbRs485_232->setChecked(s.cbRs485_232);
    cbRs485_232->setVisible(protocol2 == device::kSecondProtocolSerial);
}

void TForm1::showSettings(const device::OutputSettings& s) {
    if (!cbPulseOnlyTm->isHidden()) cbPulseOnlyTm->setChecked(s.cbPulseOnlyTm);

    showProtocols(s);

    typecode = s.typecode;
    if (protocol != device::kProtocolUndefined) device::selectEntry(cobTypeCode, typecode);
    if (!cbBcc7Uid->isHidden() && s.cbBcc7Uid) cbBcc7Uid->setChecked(true);
    cbLock->setChecked(s.cbLock);
    cbPolLock->setChecked(s.cbPolLock);
    cbRestrictTm->setChecked(s.cbRestrictTm);
    cbHidAnalisis->setChecked(s.cbHidAnalisis);
    cbReverseCode->setChecked(s.cbReverseCode);
    cbWgParityNo->setChecked(s.cbWgParityNo);  // rebuilds the protocol list when it changes
    edTimeOpen->setText(QString::number(s.openTimeMs));
    btWriteParam->setEnabled(FCONNECT);
}
