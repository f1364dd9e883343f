#include "device/settings.h"

#include "device/param_block.h"
#include "device/protocol_lists.h"

namespace device {

namespace {

bool bit(uint8_t b, int n) {
    return (b >> n) & 1;
}

std::size_t optionIndex(const char* name) {
    return static_cast<std::size_t>(settingRow(name) - kOptionKeys.data());
}

}  // namespace

const char* sheetCaption(Sheet s) {
    return s == Sheet::Format ? "Format" : "Output protocol";
}

uint32_t BlockBits::from(const uint8_t* block) const {
    uint32_t raw = block[byte];
    if (width > 8) raw |= uint32_t{block[byte + 1]} << 8;
    return (raw >> shift) & ((1u << width) - 1);
}

void BlockBits::into(uint8_t* block, uint32_t value) const {
    const uint32_t bits = (value & ((1u << width) - 1)) << shift;
    block[byte] |= static_cast<uint8_t>(bits & 0xFF);
    if (width + shift > 8) block[byte + 1] |= static_cast<uint8_t>(bits >> 8);
}

uint8_t BlockBits::mask(std::size_t i) const {
    const uint32_t all = ((1u << width) - 1) << shift;
    if (width == 0) return 0;
    if (i == byte) return static_cast<uint8_t>(all & 0xFF);
    if (i == byte + 1u) return static_cast<uint8_t>(all >> 8);
    return 0;
}

bool SettingRow::carriedBy(const ModelRow& m) const {
    switch (carry) {
        case Carry::Always:
            return true;
        case Carry::FullBits:
            return m.fullBits;
        case Carry::ShortBits:
            return !m.fullBits;
        case Carry::LongWrite:
            return m.longWrite;
    }
    return false;
}

int SettingRow::read(const uint8_t* b) const {
    if (readAs.width) return readAs.from(b) == readEquals;
    const int v = static_cast<int>(bits.from(b)) * unit;
    // A list whose bits are all set holds no entry.
    if (shows == Shows::ProtocolList && v == (1 << bits.width) - 1) return kProtocolUndefined;
    return v;
}

bool SettingRow::keeps(int v) const {
    uint8_t block[9] = {};
    bits.into(block, static_cast<uint32_t>(v / unit));
    return read(block) == v;
}

int SettingRow::value(const OutputSettings& s) const {
    if (member) return s.*member ? 1 : 0;
    if (entry) return s.*entry;
    return s.*number;
}

void SettingRow::set(OutputSettings& s, int v) const {
    if (member)
        s.*member = v != 0;
    else if (entry)
        s.*entry = static_cast<uint8_t>(v);
    else
        s.*number = v;
}

bool shownIn(const SettingRow& r, const ShownControls& shown) {
    switch (r.shows) {
        case Shows::ProtocolList:
            return shown.protocolEntries() > 0;
        case Shows::SecondList:
            return shown.protocol2Entries > 0;
        case Shows::TypeCodeList:
            return true;
        case Shows::Box:
            return shown.options[static_cast<std::size_t>(&r - kOptionKeys.data())];
        case Shows::Milliseconds:
            return shown.openTime;
    }
    return false;
}

QString boxText(bool checked) {
    return checked ? QStringLiteral("ticked") : QStringLiteral("unticked");
}

QString valueText(const SettingRow& r, int v, const ShownControls& shown, bool withoutParity) {
    switch (r.shows) {
        case Shows::ProtocolList:
            return QString::fromLatin1(protocolEntry(v, withoutParity));
        case Shows::SecondList:
            return QString::fromLatin1(protocol2Entry(v, shown.secondSerial));
        case Shows::TypeCodeList:
            return v >= 0 && v < 4 ? QString::fromLatin1(kTypeCodeEntries[v]) : QString();
        case Shows::Box:
            return boxText(v != 0);
        case Shows::Milliseconds:
            return QStringLiteral("%1 ms").arg(v);
    }
    return {};
}

void factorySettings(OutputSettings& s) {
    for (const SettingRow& r : kSettings)
        if (r.entry) r.set(s, 0);
}

const SettingRow* settingRow(std::string_view nameOrKey) {
    for (const SettingRow& r : kSettings)
        if (nameOrKey == r.name || nameOrKey == r.key) return &r;
    return nullptr;
}

ParamDecode decodeParamBlock(const uint8_t* b) {
    ParamDecode d;
    d.mode = b[0] & kModeBits;
    d.masterKey = bit(b[0], 7);
    for (const SettingRow& r : kSettings) r.set(d.settings, r.read(b));
    return d;
}

ShownControls freshWindow() {
    ShownControls c;
    c.protocolCount = 6;
    c.protocol2Entries = 4;
    c.options[optionIndex("cbRestrictTm")] = true;
    return c;
}

ShownControls shownControls(const ShownControls& before, const ModelRow& m, uint8_t v0, uint8_t v1,
                            std::optional<uint8_t> protocol2, bool filtersRead) {
    ShownControls o = before;
    auto set = [&](const char* name, bool shown) { o.options[optionIndex(name)] = shown; };
    // Every read starts by hiding these two; the version's reply lists the second protocol's
    // standard entries and hides the serial box.
    set("cbPulseOnlyTm", false);
    set("cbBcc7Uid", false);
    o.protocol2Entries = 4;
    o.secondSerial = false;
    set("cbRs485_232", false);
    switch (m.layout) {
        case Layout::ShortBlock:
            set("cbHidAnalisis", true);
            o.protocolCount = 5;
            // The second list is emptied, and filled again only with the serial entries.
            o.secondSerial = m.secondList == SecondList::Serial;
            o.protocol2Entries = o.secondSerial ? 4 : 0;
            set("cbRs485_232", o.secondSerial);
            break;
        case Layout::FilterCodes:
            // No parameter block follows.
            o.protocolList = false;
            for (const char* name : {"cbHidAnalisis", "cbRestrictTm", "cbLock", "cbPolLock"})
                set(name, false);
            o.openTime = false;
            return o;
        case Layout::LongForm:
            o.protocolList = true;
            o.openTime = true;
            o.protocolCount = 6;
            set("cbHidAnalisis", false);
            for (const char* name : {"cbRestrictTm", "cbReverseCode", "cbLock", "cbPolLock"})
                set(name, true);
            break;
        case Layout::Classic: {
            const FirmwareRules r = firmwareRules(m.protocolRule, v0, v1);
            o.protocolList = true;
            o.openTime = false;
            o.protocolCount = r.protocolEntries;
            set("cbRestrictTm", true);
            set("cbReverseCode", true);
            set("cbHidAnalisis", false);
            if (r.parityBox) set("cbWgParityNo", true);
            if (r.convertBox) set("cbBcc7Uid", true);
            if (r.pulseBox) set("cbPulseOnlyTm", true);
            break;
        }
    }
    // The block's decode: the serial box shows beside the second list's third entry.
    if (protocol2) set("cbRs485_232", *protocol2 == kSecondProtocolSerial);
    if (filtersRead) o.openTime = false;  // the filter display hides it
    return o;
}

ShownControls shownControls(const ModelRow& m, uint8_t v0, uint8_t v1,
                            std::optional<uint8_t> protocol2, bool filtersRead) {
    return shownControls(freshWindow(), m, v0, v1, protocol2, filtersRead);
}

std::array<bool, kOptionKeys.size()> writtenOptions(const ModelRow& m) {
    std::array<bool, kOptionKeys.size()> w{};
    for (std::size_t i = 0; i < kOptionKeys.size(); ++i) w[i] = kOptionKeys[i].carriedBy(m);
    return w;
}

const char* protocolEntry(int index, bool withoutParity) {
    if (index < 0 || index >= kMaxProtocolEntries) return "";
    return withoutParity ? kProtocolWithoutParity[index] : kProtocolWithParity[index];
}

const char* protocol2Entry(int index, bool serial) {
    if (index < 0 || index >= 4) return "";
    return serial ? kSecondProtocolEntriesModel6[index] : kSecondProtocolEntries[index];
}

FilterRules applyFilterRules(const filters::BoxStates& choice) {
    using filters::Box;
    FilterRules r;
    r.checked = choice;
    constexpr Box kFilter1Options[] = {Box::Zero, Box::Otp1, Box::Otp2, Box::Mf3, Box::Otp2Plus};
    if (r.checked[Box::Filter2]) {
        r.checked[Box::Filter1] = false;
        for (Box b : kFilter1Options) r.enabled[b] = false;
        r.enabled[Box::Filter2Exc] = true;
    }
    if (r.checked[Box::Filter1]) {
        r.checked[Box::Filter2] = false;
        for (Box b : kFilter1Options) r.enabled[b] = true;
        r.enabled[Box::Filter2Exc] = false;
        r.checked[Box::Filter2Exc] = false;
    }
    r.enabled[Box::CDelete] = r.checked[Box::Counter];
    r.enabled[Box::CMake] = r.checked[Box::Counter];
    r.enabled[Box::Otp2Plus] = r.checked[Box::Otp2];
    return r;
}

std::array<bool, filters::kBoxCount> filterEnabled(const filters::BoxStates& choice) {
    const FilterRules rules = applyFilterRules(choice);
    std::array<bool, filters::kBoxCount> enabled{};
    for (int i = 0; i < filters::kBoxCount; ++i)
        enabled[i] = rules.enabled[i].value_or(i != filters::Box::Filter2Exc);
    return enabled;
}

filters::BoxStates decodeFilterBlock(const uint8_t* block, uint8_t tp) {
    filters::BoxStates raw{};
    for (int i = 0; i < filters::kBoxCount; ++i)
        raw[i] = filters::boxChecked(block, static_cast<filters::Box>(i), tp);
    return applyFilterRules(raw).checked;
}

std::array<bool, filters::kBoxCount> offeredFilters(const ModelRow& m) {
    std::array<bool, filters::kBoxCount> shown{};
    if (m.readsFilters) shown.fill(true);
    if (m.layout == Layout::FilterCodes) {
        using filters::Box;
        for (Box b : {Box::Otp1, Box::OnlyVantis, Box::Otp2, Box::OnlyMPlus, Box::AllowAllLocal,
                      Box::LocalFilterEn})
            shown[b] = true;
    }
    return shown;
}

}  // namespace device
