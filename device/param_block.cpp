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

ParamBytes composeParams(const ParamInputs& in) {
    ParamBytes p;
    p.p1 = static_cast<uint8_t>((in.protocol & 0x07) | ((in.protocol2 & 0x03) << 3));
    p.p2 = static_cast<uint8_t>(bitIf(in.restrictTm, 0) | bitIf(in.rs485, 4));
    if (model(in.device).fullBits) {
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
