#include "device/configuration.h"

#include <string_view>

#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "filters/filter_block.h"

namespace device {

namespace {

constexpr std::size_t kParity = 0;  // cbWgParityNo in kOptionKeys
constexpr std::size_t kSerial = 2;  // cbRs485_232

static_assert(std::string_view(kOptionKeys[kParity].name) == "cbWgParityNo");
static_assert(std::string_view(kOptionKeys[kSerial].name) == "cbRs485_232");

bool accepted(const std::optional<ParamRead>& p) {
    return p && p->reply == comlink::Reply::Accepted;
}

}  // namespace

const ModelRow& Configuration::row() const {
    return who.row ? *who.row : model(kNoModel);
}

bool Configuration::complete() const {
    if (!who.identified() || !row().named) return false;
    if (row().layout == Layout::FilterCodes) return true;
    return paramsRead() && (!filters || filtersRead());
}

bool Configuration::carries(const SettingRow& r) const {
    // Some go only while they are shown; hidden, the write sends them unticked.
    return r.carriedBy(row()) && (!r.onlyWhileShown || shownIn(r, shown));
}

uint16_t Configuration::openTimeUnits() const {
    if (!row().fullBits) return 0;
    return device::openTimeUnits(settings.openTimeMs);
}

std::vector<uint8_t> Configuration::writeRequest() const {
    std::vector<uint8_t> frame(16);  // 13 bytes at most
    frame.resize(buildParamWrite(frame.data(), device(), sentSettings(), openTimeUnits()));
    return frame;
}

OutputSettings Configuration::sentSettings() const {
    OutputSettings s = settings;
    for (std::size_t i = 0; i < kOptionKeys.size(); ++i)
        if (kOptionKeys[i].onlyWhileShown && !shown.options[i]) s.*kOptionKeys[i].member = false;
    return s;
}

std::array<uint8_t, comlink::cmd::kParams.replyData> Configuration::blockAfterWrite() const {
    return writtenBlock(row(), sentSettings(), openTimeUnits(),
                        params ? params->block : ParamBlock{});
}

OutputSettings Configuration::settingsAfterWrite() const {
    return decodeParamBlock(blockAfterWrite().data()).settings;
}

SettingsRecord Configuration::record() const {
    SettingsRecord r = recordOf(who, params ? *params : ParamRead{}, filters ? &*filters : nullptr);
    r.settings = settingsAfterWrite();
    if (r.filters) r.filters = filterChoice;
    return r;
}

void Configuration::chooseProtocol2(uint8_t index) {
    settings.protocol2 = index;
    shown.options[kSerial] = index == kSecondProtocolSerial;
}

void Configuration::setOption(std::size_t key, bool checked) {
    settings.*kOptionKeys[key].member = checked;
    if (key == kParity) withoutParity = checked;
}

void Configuration::clickFilter(filters::Box box, bool checked) {
    filterChoice[box] = checked;
    for (filters::Box t : kFilterTriggers)
        if (t == box) runFilterRules();
}

FilterRules Configuration::runFilterRules() {
    const FilterRules rules = applyFilterRules(filterChoice);
    filterChoice = rules.checked;
    for (int k = 0; k < filters::kBoxCount; ++k)
        if (rules.enabled[k]) filterEnabled[k] = *rules.enabled[k];
    return rules;
}

Configuration configurationOf(const Identity& who, const std::optional<ParamRead>& params,
                              const std::optional<FilterRead>& filters,
                              const ShownControls& before) {
    Configuration c;
    c.who = who;
    c.params = params;
    c.filters = filters;
    c.shown = before;
    if (!who.identified()) {
        // Every read starts by hiding the pulse and conversion boxes.
        for (const char* name : {"cbPulseOnlyTm", "cbBcc7Uid"})
            c.shown.options[static_cast<std::size_t>(settingRow(name) - kOptionKeys.data())] =
                false;
        return c;
    }
    const ModelRow& m = *who.row;
    const bool filtersRead = c.filtersRead();
    c.shown =
        shownControls(before, m, who.version[0], who.version[1],
                      accepted(params) ? std::optional<uint8_t>(params->decoded.settings.protocol2)
                                       : std::nullopt,
                      filtersRead);
    const filters::BoxStates defaults = applyFilterRules(filters::kDefaultChecked).checked;
    if (m.layout == Layout::FilterCodes) {
        // Configured by filter codes: the boxes start from the defaults.
        c.filterChoice = defaults;
        c.filtersShown = offeredFilters(m);
    } else if (filtersRead && filters->signatureValid) {
        c.filterChoice = filters->choice;
        c.filtersShown.fill(true);
    } else if (filtersRead) {
        c.filterChoice = defaults;
    }
    c.filterEnabled = filterEnabled(c.filterChoice);
    if (!accepted(params)) return c;

    const OutputSettings& block = params->decoded.settings;
    if (m.layout == Layout::ShortBlock) {
        // The short block sets the lists, the serial box and its two format boxes alone.
        c.settings.protocol = block.protocol;
        c.settings.protocol2 = block.protocol2;
        c.settings.cbRs485_232 = block.cbRs485_232;
        c.settings.cbRestrictTm = block.cbRestrictTm;
        c.settings.cbHidAnalisis = block.cbHidAnalisis;
    } else {
        c.settings = block;
        // Some boxes count only while they are shown; the lists show the names without parity
        // bits where the parity box ended up ticked.
        for (std::size_t i = 0; i < kOptionKeys.size(); ++i)
            if (kOptionKeys[i].onlyWhileShown && !c.shown.options[i])
                c.settings.*kOptionKeys[i].member = false;
        c.withoutParity = block.cbWgParityNo;
    }
    return c;
}

Configuration readConfiguration(Reader& reader, const ReadOptions& options) {
    const ShownControls before = options.before.value_or(freshWindow());
    auto stopped = [&] { return options.stop && options.stop(); };
    const Identity who = reader.identify();
    std::optional<ParamRead> params;
    std::optional<FilterRead> filters;
    auto done = [&] {
        Configuration c = configurationOf(who, params, filters, before);
        return c;
    };
    if (!who.identified() || stopped()) {
        Configuration c = done();
        // A reader left in its boot loader answers as one.
        if (who.reply != comlink::Reply::Accepted && !stopped())
            c.bootLoader = reader.bootLoaderAnswer();
        return c;
    }
    const ModelRow& m = *who.row;
    if (m.layout == Layout::FilterCodes) return done();

    params = reader.readParams(who);
    if (!accepted(params) || stopped()) return done();
    if (m.readsFilters && params->protectedMode()) {
        filters = reader.readFilters(who);
        if (filters->reply != comlink::Reply::Accepted) return done();
        if (!filters->signatureValid) reader.log(QStringLiteral("Not read param of filtes."));
    }
    Configuration c = done();
    // What was read is kept, for the "I wish I had kept the old settings" case.
    if (options.backups) options.backups->add(options.port, c.record(), options.backedUp);
    return c;
}

Fit fit(const Configuration& reader, const SettingsRecord& file, bool allowOtherModel) {
    Fit f;
    f.otherModel = file.modelCode != reader.who.version[3];
    f.modelRefused = f.otherModel && !allowOtherModel;
    f.settings = reader.settings;
    if (f.modelRefused) return f;
    const ModelRow& m = reader.row();
    const OutputSettings held = reader.settingsAfterWrite();
    const OutputSettings& s = file.settings;
    // The same model and firmware: a value the reader holds is one it keeps, whatever the
    // configurator's lists offer.
    const bool sameFirmware = !f.otherModel && file.firmware == reader.who.firmware();
    // A value the reader cannot take: refused, or, from another model's file, left out.
    auto cannotTake = [&](const QString& what) { (f.otherModel ? f.skipped : f.refused) << what; };
    auto cannot = [&](const SettingRow& r, int v, const QString& why) {
        cannotTake(QStringLiteral("%1 %2 (%3)").arg(QLatin1String(r.key)).arg(v).arg(why));
    };
    for (const SettingRow& r : kSettings) {
        const int wanted = r.value(s);
        if (wanted == r.value(held)) continue;
        if (!reader.carries(r)) {
            f.record << QLatin1String(r.key);
            continue;
        }
        // A list's entry, where the reader's list holds it. A list the model leaves empty offers
        // no choice, and its write sends what the block held, as it sends a hidden box.
        const int entries = r.shows == Shows::ProtocolList ? reader.shown.protocolCount
                            : r.shows == Shows::SecondList ? reader.shown.protocol2Entries
                                                           : 0;
        if (entries > 0 && wanted >= entries) {
            const QString list = QStringLiteral("this reader's list has %1 entries").arg(entries);
            if (!sameFirmware || !r.keeps(wanted)) {
                cannot(r, wanted, list);
                continue;
            }
            f.beyondList
                << QStringLiteral("%1 %2 (%3)").arg(QLatin1String(r.key)).arg(wanted).arg(list);
        }
        if (r.shows == Shows::Milliseconds) {
            if (wanted < r.unit) {
                cannot(r, wanted,
                       QStringLiteral("the reader's shortest open time is %1 ms").arg(r.unit));
                continue;
            }
            if (wanted > r.fileMax) {
                cannot(r, wanted,
                       QStringLiteral("over the reader's longest, %1 ms").arg(r.fileMax));
                continue;
            }
            if (wanted % r.unit != 0) {
                cannot(r, wanted, QStringLiteral("off the reader's %1 ms step").arg(r.unit));
                continue;
            }
        }
        r.set(f.settings, wanted);
    }
    // The filters: only where the model reads them and writes them whole.
    if (file.filters) {
        const bool writable = m.readsFilters && m.filterWrite == FilterWrite::AutoOrExplicit &&
                              reader.filtersRead() && reader.filters->signatureValid;
        if (!writable) {
            f.record << QStringLiteral("filters");
        } else if (*file.filters != reader.filterChoice) {
            const filters::BoxStates ruled = applyFilterRules(*file.filters).checked;
            bool held = false;
            for (int i = 0; i < filters::kBoxCount; ++i)
                if (ruled[i] != (*file.filters)[i]) {
                    cannotTake(QLatin1String(kFilterKeys[i].name) +
                               QStringLiteral(" (the filter rules hold it back)"));
                    held = true;
                }
            if (!held) f.filters = *file.filters;
        }
    }
    return f;
}

}  // namespace device
