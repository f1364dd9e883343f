#include "device/compare.h"

#include <array>
#include <map>

#include "device/configuration.h"
#include "device/param_block.h"
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

QString describeModel(int code, const QString& name, const QString& firmware) {
    return QStringLiteral("model %1%2, firmware %3")
        .arg(code)
        .arg(name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name), firmware);
}

}  // namespace

QString settingText(const SettingRow& r, const Configuration& c, int v) {
    if (r.shows == Shows::Box || r.shows == Shows::Milliseconds)
        return valueText(r, v, c.shown, c.withoutParity);
    if (r.shows == Shows::ProtocolList && v == kProtocolUndefined)
        return QStringLiteral("not defined");
    const QString entry = valueText(r, v, c.shown, c.withoutParity);
    return entry.isEmpty() ? QStringLiteral("entry %1").arg(v)
                           : QLatin1Char('"') + entry + QLatin1Char('"');
}

QString fitText(const FitRow& row, const Configuration& reader, int v) {
    if (row.setting) return settingText(*row.setting, reader, v);
    return row.box >= 0 ? boxText(v != 0) : QString();
}

QString fitGroup(const FitRow& row) {
    return row.setting ? QLatin1String(sheetCaption(row.setting->sheet))
                       : QStringLiteral("Filters");
}

QStringList loadWarnings(const Configuration& reader, const SettingsRecord& file) {
    QStringList lines;
    if (file.modelCode != reader.who.version[3])
        lines << QStringLiteral(
                     "The file was saved from another model: %1; this reader is %2. Only the "
                     "settings both carry are listed.")
                     .arg(describeRecord(file), describeReader(reader));
    if (!file.adapterSerial.isEmpty() && !reader.adapterSerial.isEmpty() &&
        file.adapterSerial != reader.adapterSerial)
        lines << QStringLiteral(
                     "The file was saved from another reader: its adapter's serial number is "
                     "%1, this port's is %2.")
                     .arg(file.adapterSerial, reader.adapterSerial);
    return lines;
}

QString describeRecord(const SettingsRecord& r) {
    return describeModel(r.modelCode, r.modelName, r.firmware);
}

QString describeReader(const Configuration& c) {
    const uint8_t code = c.who.version[3];
    return describeModel(code, modelName(code), c.who.firmware());
}

Comparison compare(const SettingsRecord& a, const SettingsRecord& b) {
    Comparison out;
    out.modelsDiffer = a.modelCode != b.modelCode;
    const Configuration ca = configurationOfRecord(a);
    const Configuration cb = configurationOfRecord(b);

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
    for (const SettingRow& r : kSettings) {
        // A box whose write goes only while it is shown counts as its side shows it; a list is
        // carried by every model, empty or not.
        const bool inA = ca.carries(r), inB = cb.carries(r);
        const int va = r.value(a.settings), vb = r.value(b.settings);
        setting(sheetCaption(r.sheet), r.name, r.caption, inA, inB, va != vb,
                settingText(r, ca, va), settingText(r, cb, vb));
    }

    // The filters, where both were read whole.
    if (a.filters && b.filters) {
        for (int i = 0; i < filters::kBoxCount; ++i)
            setting("Filters", kFilterKeys[i].name, kFilterKeys[i].caption, true, true,
                    (*a.filters)[i] != (*b.filters)[i], boxText((*a.filters)[i]),
                    boxText((*b.filters)[i]));
    } else if (a.filters || b.filters) {
        out.notCarried.push_back(
            {QStringLiteral("filters"), QStringLiteral("the filter boxes"), a.filters ? 'b' : 'a'});
    }

    // Raw bytes no listed setting explains: the mode, and bits no model decodes.
    const uint8_t modeA = a.paramBlock[0] & kModeBits, modeB = b.paramBlock[0] & kModeBits;
    if (modeA != modeB)
        out.raw.push_back({QStringLiteral("the mode (parameter block byte 0)"),
                           modeName(modeA, QStringLiteral("mode %1").arg(modeA)),
                           modeName(modeB, QStringLiteral("mode %1").arg(modeB))});
    for (std::size_t i = 0; i < a.paramBlock.size(); ++i) {
        uint8_t decoded = i == 0 ? kModeBits : 0;  // the mode is said above
        for (const SettingRow& r : kSettings) decoded |= r.bits.mask(i);
        uint8_t differ = static_cast<uint8_t>(a.paramBlock[i] ^ b.paramBlock[i]);
        differ &= static_cast<uint8_t>(~decoded);
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
