#include "device/configuration.h"

#include <string_view>

#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "filters/filter_block.h"

namespace device {

namespace {

constexpr std::size_t kPulse = 3;    // cbPulseOnlyTm in kOptionKeys
constexpr std::size_t kConvert = 1;  // cbBcc7Uid
constexpr std::size_t kParity = 0;   // cbWgParityNo
constexpr std::size_t kSerial = 2;   // cbRs485_232
constexpr int kLongestOpenTimeMs = 0xFFFF * kOpenTimeUnitMs;

static_assert(std::string_view(kOptionKeys[kPulse].name) == "cbPulseOnlyTm");
static_assert(std::string_view(kOptionKeys[kConvert].name) == "cbBcc7Uid");
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

std::array<bool, kOptionKeys.size()> Configuration::carriedOptions() const {
    std::array<bool, kOptionKeys.size()> carried = writtenOptions(row());
    // These two go only while they are shown; hidden, the write sends them unticked.
    carried[kPulse] = carried[kPulse] && shown.options[kPulse];
    carried[kConvert] = carried[kConvert] && shown.options[kConvert];
    return carried;
}

uint16_t Configuration::openTimeUnits() const {
    if (!row().fullBits) return 0;
    return *device::openTimeUnits(QString::number(settings.openTimeMs));
}

std::vector<uint8_t> Configuration::writeRequest() const {
    std::vector<uint8_t> frame(16);  // 13 bytes at most
    const ParamBytes p = composeParams(device(), heldChoices());
    frame.resize(buildParamWrite(frame.data(), device(), p, openTimeUnits()));
    return frame;
}

OutputSettings Configuration::heldChoices() const {
    OutputSettings s = settings;
    const auto shownNow = shown.options;
    if (!shownNow[kPulse]) s.cbPulseOnlyTm = false;
    if (!shownNow[kConvert]) s.cbBcc7Uid = false;
    return s;
}

std::array<uint8_t, comlink::cmd::kParams.replyData> Configuration::blockAfterWrite() const {
    std::array<uint8_t, comlink::cmd::kParams.replyData> block{};
    if (params) block = params->block;
    const ParamBytes p = composeParams(device(), heldChoices());
    block[1] = p.p1;
    block[2] = p.p2;
    block[3] = p.p3;
    if (row().longWrite) {
        const uint16_t units = openTimeUnits();
        block[4] = 0;
        block[5] = static_cast<uint8_t>(units & 0xFF);
        block[6] = static_cast<uint8_t>(units >> 8);
        block[7] = 0;
    }
    return block;
}

OutputSettings Configuration::heldSettings() const {
    return decodeParamBlock(blockAfterWrite().data()).settings;
}

SettingsRecord Configuration::record() const {
    SettingsRecord r = recordOf(who, params ? *params : ParamRead{}, filters ? &*filters : nullptr);
    r.settings = heldSettings();
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
    for (filters::Box t : kFilterTriggers) {
        if (t != box) continue;
        const FilterRules rules = applyFilterRules(filterChoice);
        filterChoice = rules.checked;
        for (int k = 0; k < filters::kBoxCount; ++k)
            if (rules.enabled[k]) filterEnabled[k] = *rules.enabled[k];
    }
}

Configuration configurationOf(const Identity& who, const std::optional<ParamRead>& params,
                              const std::optional<FilterRead>& filters,
                              const ShownControls& before) {
    Configuration c;
    c.who = who;
    c.params = params;
    c.filters = filters;
    c.shown = before;
    if (!who.identified()) return c;
    const ModelRow& m = *who.row;
    const bool filtersRead = c.filtersRead();
    c.shown =
        shownControls(before, m, who.version[0], who.version[1],
                      accepted(params) ? std::optional<uint8_t>(params->decoded.settings.protocol2)
                                       : std::nullopt,
                      filtersRead);
    const FilterChoice defaults = applyFilterRules(filters::kDefaultChecked).checked;
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
        // Two boxes count only while they are shown; the lists show the names without parity
        // bits where the parity box ended up ticked.
        c.settings.cbPulseOnlyTm = block.cbPulseOnlyTm && c.shown.options[kPulse];
        c.settings.cbBcc7Uid = block.cbBcc7Uid && c.shown.options[kConvert];
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
    const OutputSettings held = reader.heldSettings();
    const OutputSettings& s = file.settings;
    // A value the reader cannot take: refused, or, from another model's file, left out.
    auto cannot = [&](const QString& why) { (f.otherModel ? f.skipped : f.refused) << why; };
    // A list's entry, where the reader's list holds it. A list the model leaves empty offers no
    // choice, and its write sends what the block held, as it sends a hidden box.
    auto entry = [&](const char* name, uint8_t wanted, uint8_t now, uint8_t& into, int entries) {
        if (wanted == now) return;
        if (wanted < entries || entries == 0)
            into = wanted;
        else
            cannot(QStringLiteral("%1 %2 (this reader's list has %3 entries)")
                       .arg(QLatin1String(name))
                       .arg(wanted)
                       .arg(entries));
    };
    entry("protocol", s.protocol, held.protocol, f.settings.protocol, reader.shown.protocolCount);
    entry("protocol2", s.protocol2, held.protocol2, f.settings.protocol2,
          reader.shown.protocol2Entries);
    if (s.typecode != held.typecode) {
        if (m.fullBits)
            f.settings.typecode = s.typecode;
        else
            f.record << QStringLiteral("typecode");
    }
    const auto carried = reader.carriedOptions();
    for (std::size_t i = 0; i < kOptionKeys.size(); ++i) {
        const auto member = kOptionKeys[i].member;
        if (s.*member == held.*member) continue;
        if (carried[i])
            f.settings.*member = s.*member;
        else
            f.record << QLatin1String(kOptionKeys[i].name);
    }
    if (s.openTimeMs != held.openTimeMs) {
        if (!m.longWrite)
            f.record << QStringLiteral("openTimeMs");
        else if (s.openTimeMs < kOpenTimeUnitMs)
            cannot(QStringLiteral("openTimeMs %1 (the reader's shortest open time is %2 ms)")
                       .arg(s.openTimeMs)
                       .arg(kOpenTimeUnitMs));
        else if (s.openTimeMs > kLongestOpenTimeMs)
            cannot(QStringLiteral("openTimeMs %1 (over the reader's longest, %2 ms)")
                       .arg(s.openTimeMs)
                       .arg(kLongestOpenTimeMs));
        else if (s.openTimeMs % kOpenTimeUnitMs != 0)
            cannot(
                QStringLiteral("openTimeMs %1 (off the reader's 100 ms step)").arg(s.openTimeMs));
        else
            f.settings.openTimeMs = s.openTimeMs;
    }
    // The filters: only where the model reads them and writes them whole.
    if (file.filters) {
        const bool writable = m.readsFilters && m.filterWrite == FilterWrite::AutoOrExplicit &&
                              reader.filtersRead() && reader.filters->signatureValid;
        if (!writable) {
            f.record << QStringLiteral("filters");
        } else if (*file.filters != reader.filterChoice) {
            const FilterChoice ruled = applyFilterRules(*file.filters).checked;
            bool held = false;
            for (int i = 0; i < filters::kBoxCount; ++i)
                if (ruled[i] != (*file.filters)[i]) {
                    cannot(QLatin1String(kFilterKeys[i].name) +
                           QStringLiteral(" (the filter rules hold it back)"));
                    held = true;
                }
            if (!held) f.filters = *file.filters;
        }
    }
    return f;
}

}  // namespace device
