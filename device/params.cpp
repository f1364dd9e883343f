// The reader's 9-byte parameter block: the request that reads it and its decode into the window.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "device/model_table.h"
#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "link/commands.h"
#include "shell/qln_boot_pgm.h"

namespace {

constexpr uint8_t kProtocolUndefinedBits = 7;
constexpr uint8_t kProtocolUndefined = 255;

bool bit(uint8_t b, int n) {
    return (b >> n) & 1;
}

QString modeText(uint8_t mode) {
    switch (mode) {
        case 0:
            return QStringLiteral("reader.");
        case 1:
            return QStringLiteral("protected.");
        case 2:
            return QStringLiteral("your key.");
        default:
            return QStringLiteral("not defined.");
    }
}

}  // namespace

bool TForm1::getParamSTCOM(uint8_t* p) {
    return readData(comlink::cmd::kParams, p, kPlainReplyLines);
}

void TForm1::decodeParamsShort() {
    const uint8_t* b = param_1;
    cbHidAnalisis->setChecked(bit(b[2], 1));
    cbRestrictTm->setChecked(bit(b[2], 0));
    btWriteParam->setEnabled(FCONNECT);
    decodeProtocols();
}

void TForm1::decodeProtocols() {
    const uint8_t* b = param_1;
    protocol = b[1] & 0x07;
    if (protocol == kProtocolUndefinedBits) protocol = kProtocolUndefined;
    if (protocol != kProtocolUndefined) {
        device::selectEntry(cbTypeProt, protocol);
        log(cbTypeProt->currentText());
    } else {
        log(QStringLiteral("The Protocol is not defined"));
    }
    protocol2 = (b[1] >> 3) & 0x03;
    device::selectEntry(cbTypeProt2, protocol2);
    cbRs485_232->setChecked(bit(b[2], 4));
    cbRs485_232->setVisible(protocol2 == device::kSecondProtocolSerial);
}

void TForm1::decodeParams() {
    const uint8_t* b = param_1;
    // Bytes 5 down to 0, the open time first.
    const uint8_t shown[6] = {b[5], b[4], b[3], b[2], b[1], b[0]};
    log(QStringLiteral("PARAM  ") + QString::fromStdString(comlink::hexString(shown, 6)));
    const uint8_t mode = b[0] & 0x7F;
    log(QStringLiteral("Mode: ") + modeText(mode));
    if (mode == device::kModeProtected) Fguard = true;
    if (device::model(Device).keyManagement) {
        if (mode == 0) lbLockInGuard->setEnabled(false);
        if (bit(b[0], 7)) log(QStringLiteral("Master KEY."));
    }
    if (!cbPulseOnlyTm->isHidden()) cbPulseOnlyTm->setChecked(((b[1] >> 3) & 0x03) == 1);

    decodeProtocols();

    typecode = b[3] & 0x03;
    if (protocol != kProtocolUndefined) {
        device::selectEntry(cobTypeCode, typecode);
        log(cobTypeCode->currentText());
    } else {
        log(QStringLiteral("The Protocol is not defined"));
    }
    if (!cbBcc7Uid->isHidden() && bit(b[3], 2)) cbBcc7Uid->setChecked(true);
    cbLock->setChecked(bit(b[1], 6));
    cbPolLock->setChecked(bit(b[1], 7));
    cbRestrictTm->setChecked(bit(b[2], 0));
    cbHidAnalisis->setChecked(bit(b[2], 1));
    cbReverseCode->setChecked(bit(b[2], 2));
    cbWgParityNo->setChecked(bit(b[2], 3));  // rebuilds the protocol list when it changes
    const int openTime = (b[5] + 256 * b[6]) * device::kOpenTimeUnitMs;
    edTimeOpen->setText(QString::number(openTime));
    btWriteParam->setEnabled(FCONNECT);
}
