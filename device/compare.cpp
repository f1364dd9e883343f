#include "device/compare.h"

#include <array>
#include <map>

#include "device/configuration.h"
#include "device/protocol_lists.h"
#include "filters/filter_block.h"

namespace device {

namespace {

// What a record says of its reader, as "Read param" would have found it in a fresh window.
Configuration configurationOfRecord(const SettingsRecord& r) {
    Identity who;
    who.reply = comlink::Reply::Accepted;
    const QStringList parts = r.firmware.split(QLatin1Char('.'));
    for (int i = 0; i < 3 && i < parts.size(); ++i)
        who.version[static_cast<std::size_t>(2 - i)] = static_cast<uint8_t>(parts[i].toUInt());
    who.version[3] = r.modelCode;
    who.row = modelRow(r.modelCode);
    ParamRead params;
    params.reply = comlink::Reply::Accepted;
    params.block = r.paramBlock;
    params.decoded = decodeParamBlock(params.block.data());
    std::optional<FilterRead> filters;
    if (r.filterBlock) {
        filters.emplace();
        filters->reply = comlink::Reply::Accepted;
        filters->block = *r.filterBlock;
        filters->signatureValid = filters::signatureValid(filters->block.data());
        if (filters->signatureValid && who.row)
            filters->choice = decodeFilterBlock(filters->block.data(), who.row->zeroPolarity);
    }
    Configuration c = configurationOf(who, params, filters, freshWindow());
    c.settings = r.settings;
    c.withoutParity = c.row().layout != Layout::ShortBlock && r.settings.cbWgParityNo;
    if (r.filters) c.filterChoice = *r.filters;
    return c;
}

QString ticked(bool on) {
    return on ? QStringLiteral("ticked") : QStringLiteral("unticked");
}

QString entryText(const char* text, int index) {
    return text && *text ? QLatin1Char('"') + QString::fromLatin1(text) + QLatin1Char('"')
                         : QStringLiteral("entry %1").arg(index);
}

QString modeText(uint8_t mode) {
    static const char* const kModes[] = {"reader", "protected", "your key"};
    return mode < 3 ? QString::fromLatin1(kModes[mode]) : QStringLiteral("mode %1").arg(mode);
}

// The bits of the parameter block that a setting is read from, by byte: a difference elsewhere
// is one no setting explains.
struct Bits {
    int byte;
    uint8_t mask;
};
const std::map<QString, std::vector<Bits>>& settingBits() {
    static const std::map<QString, std::vector<Bits>> bits{
        {"cbTypeProt", {{1, 0x07}}},
        {"cbTypeProt2", {{1, 0x18}}},
        {"cbPulseOnlyTm", {{1, 0x08}}},
        {"cbLock", {{1, 0x40}}},
        {"cbPolLock", {{1, 0x80}}},
        {"cbRestrictTm", {{2, 0x01}}},
        {"cbHidAnalisis", {{2, 0x02}}},
        {"cbReverseCode", {{2, 0x04}}},
        {"cbWgParityNo", {{2, 0x08}}},
        {"cbRs485_232", {{2, 0x10}}},
        {"cobTypeCode", {{3, 0x03}}},
        {"cbBcc7Uid", {{3, 0x04}}},
        {"edTimeOpen", {{5, 0xFF}, {6, 0xFF}}},
    };
    return bits;
}

}  // namespace

QString describeRecord(const SettingsRecord& r) {
    return QStringLiteral("model %1%2, firmware %3")
        .arg(r.modelCode)
        .arg(r.modelName.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(r.modelName),
             r.firmware);
}

Comparison compare(const SettingsRecord& a, const SettingsRecord& b) {
    Comparison out;
    out.modelsDiffer = a.modelCode != b.modelCode;
    const Configuration ca = configurationOfRecord(a);
    const Configuration cb = configurationOfRecord(b);
    const OutputSettings& sa = a.settings;
    const OutputSettings& sb = b.settings;

    // One setting: a difference where both models carry it, "not carried" where one does.
    auto setting = [&](const char* group, const char* name, const char* caption, bool carriedA,
                       bool carriedB, bool differs, const QString& va, const QString& vb) {
        if (!carriedA && !carriedB) return;
        const QString n = QLatin1String(name);
        if (carriedA != carriedB)
            out.notCarried.push_back({n, QLatin1String(caption), carriedA ? 'b' : 'a'});
        else if (differs)
            out.settings.push_back({QLatin1String(group), n, QLatin1String(caption), va, vb});
    };
    const char* kOutput = "Output protocol";
    const ShownControls& wa = ca.shown;
    const ShownControls& wb = cb.shown;
    auto protocolName = [](const Configuration& c, uint8_t p) {
        return p == kProtocolUndefined ? QStringLiteral("not defined")
                                       : entryText(protocolEntry(p, c.withoutParity), p);
    };
    setting(kOutput, "cbTypeProt", "Type protocol", true, true, sa.protocol != sb.protocol,
            protocolName(ca, sa.protocol), protocolName(cb, sb.protocol));
    setting(kOutput, "cobTypeCode", "Type code", ca.row().fullBits, cb.row().fullBits,
            sa.typecode != sb.typecode, entryText(kTypeCodeEntries[sa.typecode & 3], sa.typecode),
            entryText(kTypeCodeEntries[sb.typecode & 3], sb.typecode));
    setting(kOutput, "cbTypeProt2", "Avto, Tm, Wg, Uart", true, true, sa.protocol2 != sb.protocol2,
            entryText(protocol2Entry(sa.protocol2, wa.secondSerial), sa.protocol2),
            entryText(protocol2Entry(sb.protocol2, wb.secondSerial), sb.protocol2));
    const auto carriedA = ca.carriedOptions();
    const auto carriedB = cb.carriedOptions();
    for (std::size_t i = 0; i < kOptionKeys.size(); ++i) {
        const OptionKey& k = kOptionKeys[i];
        const bool format = QLatin1String(k.name) == QLatin1String("cbRestrictTm") ||
                            QLatin1String(k.name) == QLatin1String("cbReverseCode") ||
                            QLatin1String(k.name) == QLatin1String("cbHidAnalisis");
        setting(format ? "Format" : kOutput, k.name, k.caption, carriedA[i], carriedB[i],
                sa.*k.member != sb.*k.member, ticked(sa.*k.member), ticked(sb.*k.member));
    }
    setting(kOutput, "edTimeOpen", "Time open mSec", ca.row().longWrite, cb.row().longWrite,
            sa.openTimeMs != sb.openTimeMs, QStringLiteral("%1 ms").arg(sa.openTimeMs),
            QStringLiteral("%1 ms").arg(sb.openTimeMs));

    // The filters, where both were read whole.
    if (a.filters && b.filters) {
        for (int i = 0; i < filters::kBoxCount; ++i)
            setting("Filters", kFilterKeys[i].name, kFilterKeys[i].caption, true, true,
                    (*a.filters)[i] != (*b.filters)[i], ticked((*a.filters)[i]),
                    ticked((*b.filters)[i]));
    } else if (a.filters || b.filters) {
        out.notCarried.push_back(
            {QStringLiteral("filters"), QStringLiteral("the filter boxes"), a.filters ? 'b' : 'a'});
    }

    // Raw bytes no listed setting explains: the mode, and bits no model decodes.
    const uint8_t modeA = a.paramBlock[0] & 0x7F, modeB = b.paramBlock[0] & 0x7F;
    if (modeA != modeB)
        out.raw.push_back({QStringLiteral("the mode (parameter block byte 0)"), modeText(modeA),
                           modeText(modeB)});
    std::map<int, uint8_t> decoded{{0, 0x7F}};  // the mode is said above
    for (const auto& [name, bits] : settingBits())
        for (const Bits& bit : bits) decoded[bit.byte] |= bit.mask;
    for (std::size_t i = 0; i < a.paramBlock.size(); ++i) {
        uint8_t differ = static_cast<uint8_t>(a.paramBlock[i] ^ b.paramBlock[i]);
        differ &= static_cast<uint8_t>(~decoded[static_cast<int>(i)]);
        if (differ)
            out.raw.push_back(
                {QStringLiteral("parameter block byte %1 (bits %2)")
                     .arg(i)
                     .arg(QString::number(differ, 16).toUpper().rightJustified(2, '0')),
                 hexText(&a.paramBlock[i], 1), hexText(&b.paramBlock[i], 1)});
    }
    return out;
}

}  // namespace device
