// The reader's 9-byte parameter block: the request that reads it, and the settings of a
// configuration drawn into the window's controls. The reader layer reads and decodes the block
// and logs what it says; here its settings go into the controls.

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

// The settings into the controls as "Read param" puts a block's there, by program, so that no
// list handler runs and nothing is logged. The short block's models take only what their write
// carries; a box that counts only while shown is touched only while it is.
void TForm1::showSettings(const device::Configuration& c) {
    const device::ModelRow& m = c.row();
    const bool shortBlock = m.layout == device::Layout::ShortBlock;
    const device::OutputSettings& s = c.settings;
    const auto boxes = optionBoxes();
    for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i) {
        const device::SettingRow& r = device::kOptionKeys[i];
        if (shortBlock && !r.carriedBy(m)) continue;
        if (r.onlyWhileShown && !c.shown.options[i]) continue;
        boxes[i]->setChecked(s.*r.member);  // the parity box rebuilds the list when it changes
    }
    protocol = config_.settings.protocol = s.protocol;
    if (protocol != device::kProtocolUndefined) device::selectEntry(cbTypeProt, protocol);
    protocol2 = s.protocol2;
    config_.chooseProtocol2(protocol2);
    device::selectEntry(cbTypeProt2, protocol2);
    cbRs485_232->setVisible(protocol2 == device::kSecondProtocolSerial);
    if (!shortBlock) {
        typecode = config_.settings.typecode = s.typecode;
        if (protocol != device::kProtocolUndefined) device::selectEntry(cobTypeCode, typecode);
        edTimeOpen->setText(QString::number(s.openTimeMs));
    }
    btWriteParam->setEnabled(FCONNECT);
}

// The mode of a block read: protected mode reads the filters; "Data_1 as key management" is
// usable only beyond the plain reader mode.
void TForm1::showMode(const device::Configuration& c) {
    if (c.row().layout == device::Layout::ShortBlock) return;
    const uint8_t mode = c.params->decoded.mode;
    if (mode == device::kModeProtected) Fguard = true;
    if (c.row().keyManagement && mode == 0) lbLockInGuard->setEnabled(false);
}
