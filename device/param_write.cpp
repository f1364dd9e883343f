// "Write param" and "Factory Settings".

#include "device/param_write.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QString>

#include "device/model_table.h"
#include "device/protocol_lists.h"
#include "link/frame.h"
#include "shell/qln_boot_pgm.h"

namespace device {

namespace {

constexpr uint8_t kWriteParamCommand = 0x1C;
constexpr int kOpenTimeUnitMs = 100;

// Models that take the lock, reverse, parity, code type and conversion bits.
bool takesFullBits(uint8_t d) {
    return d == 0 || d == 1 || d == 2 || d == 4 || isLongFormModel(d);
}

uint8_t bitIf(bool on, int n) {
    return on ? static_cast<uint8_t>(1u << n) : 0;
}

}  // namespace

ParamBytes composeParams(const ParamInputs& in) {
    ParamBytes p;
    p.p1 = static_cast<uint8_t>((in.protocol & 0x07) | ((in.protocol2 & 0x03) << 3));
    p.p2 = static_cast<uint8_t>(bitIf(in.restrictTm, 0) | bitIf(in.rs485, 4));
    if (takesFullBits(in.device)) {
        p.p1 |= bitIf(in.pulseOnlyTm, 3) | bitIf(in.lock, 6) | bitIf(in.polarityLock, 7);
        p.p2 |= bitIf(in.reverseCode, 2) | bitIf(in.parityOff, 3);
        p.p3 = static_cast<uint8_t>((in.typecode & 0x03) | bitIf(in.convertH7120, 2));
    } else {
        p.p2 |= bitIf(in.hidSize, 1);
    }
    return p;
}

std::optional<uint16_t> openTimeUnits(const QString& text) {
    bool ok = false;
    const int ms = text.toInt(&ok, 10);
    if (!ok) return std::nullopt;
    const auto units = static_cast<uint16_t>(ms / kOpenTimeUnitMs);  // toward zero, low 16 bits
    return units == 0 ? uint16_t{1} : units;
}

int buildParamWrite(uint8_t* out, uint8_t device, const ParamBytes& p, uint16_t openTime) {
    if (isLongFormModel(device)) {
        const uint8_t data[7] = {p.p1,
                                 p.p2,
                                 p.p3,
                                 0x00,
                                 static_cast<uint8_t>(openTime & 0xFF),
                                 static_cast<uint8_t>(openTime >> 8),
                                 0x00};
        return comlink::buildFrame(out, comlink::kHeaderWriteParam, kWriteParamCommand, data, 7);
    }
    const uint8_t data[3] = {p.p1, p.p2, p.p3};
    return comlink::buildFrame(out, comlink::kHeaderWriteParam, kWriteParamCommand, data, 3);
}

}  // namespace device

void TForm1::btWriteParamClick() {
    if (!requirePort() || !requireReader()) return;
    device::ParamInputs in;
    in.device = Device;
    in.protocol = protocol;
    in.protocol2 = protocol2;
    in.typecode = typecode;
    in.restrictTm = cbRestrictTm->isChecked();
    in.hidSize = cbHidAnalisis->isChecked();
    in.reverseCode = cbReverseCode->isChecked();
    in.parityOff = cbWgParityNo->isChecked();
    in.lock = cbLock->isChecked();
    in.polarityLock = cbPolLock->isChecked();
    in.rs485 = cbRs485_232->isChecked();
    in.pulseOnlyTm = !cbPulseOnlyTm->isHidden() && cbPulseOnlyTm->isChecked();
    in.convertH7120 = !cbBcc7Uid->isHidden() && cbBcc7Uid->isChecked();
    const device::ParamBytes p = device::composeParams(in);

    // Every model of the full-bit column converts the open time, also those whose short form
    // does not carry it; a text that is no integer stops the write before anything is sent.
    uint16_t openTime = 0;
    if (Device == 0 || Device == 1 || Device == 2 || Device == 4 ||
        device::isLongFormModel(Device)) {
        const std::optional<uint16_t> t = device::openTimeUnits(edTimeOpen->text());
        if (!t) {
            messageBox(QStringLiteral("Error"),
                       QStringLiteral("'%1' is not a valid integer value").arg(edTimeOpen->text()));
            return;
        }
        openTime = *t;
    }

    uint8_t frame[13];
    const int n = device::buildParamWrite(frame, Device, p, openTime);
    requestAndLog(frame, n);
}

void TForm1::btFactorySettingsClick() {
    // Only the window's choices go back to their first entries; "Write param" sends them.
    protocol = 0;
    device::selectEntry(cbTypeProt, 0);
    log(cbTypeProt->currentText());
    protocol2 = 0;
    device::selectEntry(cbTypeProt2, 0);
    log(cbTypeProt2->currentText());  // empty on a reader whose second list is empty
    typecode = 0;
    device::selectEntry(cobTypeCode, 0);
    log(cobTypeCode->currentText());
}
