// libFuzzer: any bytes as a settings file, read and fitted onto a reader of every model that has a
// parameter block: no crash, no undefined behaviour, no leak, and nothing judged applicable that
// the model's write cannot carry: every setting fit() applies, the reader holds once it took the
// write.

#include <QJsonDocument>
#include <QJsonObject>

#include "device/configuration.h"
#include "device/settings_file.h"

namespace {

device::Configuration readerOf(uint8_t code, uint8_t v0, const std::array<uint8_t, 9>& block) {
    device::Identity who;
    who.reply = comlink::Reply::Accepted;
    who.version = {v0, 7, 1, code};
    who.row = device::modelRow(code);
    device::ParamRead params;
    params.reply = comlink::Reply::Accepted;
    params.block = block;
    params.decoded = device::decodeParamBlock(block.data());
    return device::configurationOf(who, params, std::nullopt, device::freshWindow());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QJsonParseError e;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &e);
    if (e.error != QJsonParseError::NoError || !doc.isObject()) return 0;
    QString error;
    const std::optional<device::SettingsRecord> file =
        device::settingsFromJson(doc.object(), &error);
    if (!file) {
        if (error.isEmpty()) __builtin_trap();  // a refusal says why
        return 0;
    }
    for (uint8_t code = 0; code <= device::kHighestModelCode; ++code) {
        const device::ModelRow m = *device::modelRow(code);
        if (!m.named || m.layout == device::Layout::FilterCodes) continue;
        for (uint8_t v0 : {uint8_t{1}, uint8_t{11}, uint8_t{28}}) {
            const device::Configuration reader =
                readerOf(code, v0, {0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
            for (bool other : {false, true}) {
                const device::Fit fit = device::fit(reader, *file, other);
                if (!fit.fits()) continue;
                device::Configuration after = reader;
                after.settings = fit.settings;
                const device::OutputSettings held = after.settingsAfterWrite();
                const device::OutputSettings before = reader.settingsAfterWrite();
                const device::OutputSettings& want = file->settings;
                // A list entry, a box, the open time: applied means held once written.
                auto check = [&](const QString& name, int wanted, int was, int now) {
                    if (wanted == was || fit.record.contains(name)) return;
                    if (fit.skipped.join(' ').startsWith(name + ' ')) return;
                    for (const QString& s : fit.skipped)
                        if (s.startsWith(name + ' ')) return;
                    if (now != wanted) __builtin_trap();
                };
                check(QStringLiteral("protocol"), want.protocol, before.protocol, held.protocol);
                check(QStringLiteral("typecode"), want.typecode, before.typecode, held.typecode);
                check(QStringLiteral("openTimeMs"), want.openTimeMs, before.openTimeMs,
                      held.openTimeMs);
                for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i) {
                    const auto member = device::kOptionKeys[i].member;
                    // The pulse box and the second list share a bit: either may move the other.
                    if (QLatin1String(device::kOptionKeys[i].name) == "cbPulseOnlyTm") continue;
                    check(QLatin1String(device::kOptionKeys[i].name), want.*member, before.*member,
                          held.*member);
                }
                const std::vector<uint8_t> request = after.writeRequest();
                if (request.size() != 9 && request.size() != 13) __builtin_trap();
            }
        }
    }
    return 0;
}
