#include "device/settings.h"

#include "device/param_block.h"
#include "device/protocol_lists.h"

namespace device {

namespace {

constexpr uint8_t kProtocolUndefinedBits = 7;

bool bit(uint8_t b, int n) {
    return (b >> n) & 1;
}

constexpr std::size_t optionIndex(const char* name) {
    for (std::size_t i = 0; i < kOptionKeys.size(); ++i) {
        const char* a = kOptionKeys[i].name;
        const char* b = name;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return i;
    }
    return kOptionKeys.size();
}

}  // namespace

ParamDecode decodeParamBlock(const uint8_t* b) {
    ParamDecode d;
    d.mode = b[0] & 0x7F;
    d.masterKey = bit(b[0], 7);
    OutputSettings& s = d.settings;
    s.protocol = b[1] & 0x07;
    if (s.protocol == kProtocolUndefinedBits) s.protocol = kProtocolUndefined;
    s.protocol2 = (b[1] >> 3) & 0x03;
    s.typecode = b[3] & 0x03;
    s.cbPulseOnlyTm = s.protocol2 == 1;
    s.cbLock = bit(b[1], 6);
    s.cbPolLock = bit(b[1], 7);
    s.cbRestrictTm = bit(b[2], 0);
    s.cbHidAnalisis = bit(b[2], 1);
    s.cbReverseCode = bit(b[2], 2);
    s.cbWgParityNo = bit(b[2], 3);
    s.cbRs485_232 = bit(b[2], 4);
    s.cbBcc7Uid = bit(b[3], 2);
    s.openTimeMs = (b[5] + 256 * b[6]) * kOpenTimeUnitMs;
    return d;
}

Offer offer(const ModelRow& m, uint8_t v0, uint8_t v1, uint8_t protocol2, bool filtersRead) {
    Offer o;
    auto show = [&](const char* name) { o.options[optionIndex(name)] = true; };
    o.secondSerial = m.secondList == SecondList::Serial;
    o.protocol2Entries = 4;
    // The serial box shows beside the second list's third entry, whatever the model.
    if (m.layout != Layout::FilterCodes && protocol2 == kSecondProtocolSerial) show("cbRs485_232");
    switch (m.layout) {
        case Layout::FilterCodes:
            return o;
        case Layout::ShortBlock:
            o.protocolEntries = 5;
            // The second list is emptied, and filled again only with the serial entries.
            if (!o.secondSerial) o.protocol2Entries = 0;
            show("cbHidAnalisis");
            show("cbRestrictTm");
            return o;
        case Layout::LongForm:
            o.protocolEntries = 6;
            o.openTime = !filtersRead;  // the filter display hides it
            for (const char* name : {"cbRestrictTm", "cbReverseCode", "cbLock", "cbPolLock"})
                show(name);
            return o;
        case Layout::Classic:
            break;
    }
    const FirmwareRules r = firmwareRules(m.protocolRule, v0, v1);
    o.protocolEntries = r.protocolEntries;
    show("cbRestrictTm");
    show("cbReverseCode");
    if (r.parityBox) show("cbWgParityNo");
    if (r.convertBox) show("cbBcc7Uid");
    if (r.pulseBox) show("cbPulseOnlyTm");
    return o;
}

std::array<bool, kOptionKeys.size()> writtenOptions(const ModelRow& m) {
    // A box is written when ticking it alone changes the bytes the write carries.
    std::array<bool, kOptionKeys.size()> w{};
    const ParamBytes none = composeParams(m.device, OutputSettings{});
    for (std::size_t i = 0; i < kOptionKeys.size(); ++i) {
        OutputSettings one;
        one.*kOptionKeys[i].member = true;
        const ParamBytes p = composeParams(m.device, one);
        w[i] = p.p1 != none.p1 || p.p2 != none.p2 || p.p3 != none.p3;
    }
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

FilterRules applyFilterRules(const FilterChoice& choice) {
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

std::array<bool, filters::kBoxCount> filterEnabled(const FilterChoice& choice) {
    const FilterRules rules = applyFilterRules(choice);
    std::array<bool, filters::kBoxCount> enabled{};
    for (int i = 0; i < filters::kBoxCount; ++i)
        enabled[i] = rules.enabled[i].value_or(i != filters::Box::Filter2Exc);
    return enabled;
}

FilterChoice decodeFilterBlock(const uint8_t* block, uint8_t tp) {
    FilterChoice raw{};
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
