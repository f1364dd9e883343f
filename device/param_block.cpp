#include "device/param_block.h"

#include <QString>

#include "device/model_table.h"
#include "link/commands.h"

namespace device {

QString modeName(uint8_t mode, const QString& otherwise) {
    static constexpr const char* kModes[] = {"reader", "protected", "your key"};
    return mode < std::size(kModes) ? QString::fromLatin1(kModes[mode]) : otherwise;
}

ParamBlock writtenBlock(const ModelRow& m, const OutputSettings& s, uint16_t openTime,
                        const ParamBlock& base) {
    ParamBlock b = base;
    const int last = m.longWrite ? 7 : 3;  // the last byte the write carries
    std::fill(b.begin() + 1, b.begin() + last + 1, uint8_t{0});
    for (const SettingRow& r : kSettings) {
        if (!r.carriedBy(m)) continue;
        const int v = r.value(s);
        r.bits.into(b.data(), r.shows == Shows::Milliseconds ? openTime : static_cast<uint32_t>(v));
    }
    return b;
}

uint16_t openTimeUnits(int ms) {
    const auto units = static_cast<uint16_t>(ms / kOpenTimeUnitMs);  // toward zero, low 16 bits
    return units == 0 ? uint16_t{1} : units;
}

std::optional<uint16_t> openTimeUnits(const QString& text) {
    bool ok = false;
    const int ms = text.toInt(&ok, 10);
    if (!ok) return std::nullopt;
    return openTimeUnits(ms);
}

int buildParamWrite(uint8_t* out, uint8_t device, const OutputSettings& s, uint16_t openTime) {
    const ModelRow& m = model(device);
    const ParamBlock b = writtenBlock(m, s, openTime);
    return comlink::buildRequest(out, comlink::cmd::kWriteParams, b.data() + 1,
                                 m.longWrite ? 7 : 3);
}

}  // namespace device
