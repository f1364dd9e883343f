#include "device/param_block.h"

#include <QString>

#include "device/model_table.h"
#include "link/commands.h"

namespace device {

namespace {

uint8_t bitIf(bool on, int n) {
    return on ? static_cast<uint8_t>(1u << n) : 0;
}

}  // namespace

ParamBytes composeParams(uint8_t device, const OutputSettings& s) {
    ParamBytes p;
    p.p1 = static_cast<uint8_t>((s.protocol & 0x07) | ((s.protocol2 & 0x03) << 3));
    p.p2 = static_cast<uint8_t>(bitIf(s.cbRestrictTm, 0) | bitIf(s.cbRs485_232, 4));
    if (model(device).fullBits) {
        p.p1 |= bitIf(s.cbPulseOnlyTm, 3) | bitIf(s.cbLock, 6) | bitIf(s.cbPolLock, 7);
        p.p2 |= bitIf(s.cbReverseCode, 2) | bitIf(s.cbWgParityNo, 3);
        p.p3 = static_cast<uint8_t>((s.typecode & 0x03) | bitIf(s.cbBcc7Uid, 2));
    } else {
        p.p2 |= bitIf(s.cbHidAnalisis, 1);
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
    if (model(device).longWrite) {
        const uint8_t data[7] = {p.p1,
                                 p.p2,
                                 p.p3,
                                 0x00,
                                 static_cast<uint8_t>(openTime & 0xFF),
                                 static_cast<uint8_t>(openTime >> 8),
                                 0x00};
        return comlink::buildRequest(out, comlink::cmd::kWriteParams, data, 7);
    }
    const uint8_t data[3] = {p.p1, p.p2, p.p3};
    return comlink::buildRequest(out, comlink::cmd::kWriteParams, data, 3);
}

}  // namespace device
