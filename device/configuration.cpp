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
    r.adapterSerial = adapterSerial;
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
        c.adapterSerial = options.adapterSerial;
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

}  // namespace device
