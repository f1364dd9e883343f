// A settings file put onto a reader read: what it takes of the file, setting by setting.

#include <string_view>
#include <utility>

#include "device/configuration.h"
#include "filters/filter_block.h"

namespace device {

const char* FitRow::name() const {
    return setting ? setting->name : box >= 0 ? kFilterKeys[box].name : "filters";
}

const char* FitRow::caption() const {
    return setting ? setting->caption : box >= 0 ? kFilterKeys[box].caption : "the filter boxes";
}

const char* takenWith(const char* name) {
    static constexpr std::pair<std::string_view, std::string_view> kPairs[] = {
        {"cbPulseOnlyTm", "cbTypeProt2"},
        {"cbFilter1", "cbFilter2"},
    };
    for (const auto& [a, b] : kPairs) {
        if (name == a) return b.data();
        if (name == b) return a.data();
    }
    return nullptr;
}

int Fit::changes() const {
    int n = 0;
    for (const FitRow& r : rows) n += r.take == FitRow::Take::Apply;
    return n;
}

Fit fit(const Configuration& reader, const SettingsRecord& file, bool allowOtherModel,
        const TakeSetting& take) {
    Fit f;
    f.otherModel = file.modelCode != reader.who.version[3];
    f.modelRefused = f.otherModel && !allowOtherModel;
    f.settings = reader.settings;
    if (f.modelRefused) return f;
    auto taken = [&](const char* name) {
        const char* with = takenWith(name);
        return !take || take(name) || (with && take(with));
    };
    const ModelRow& m = reader.row();
    const OutputSettings held = reader.settingsAfterWrite();
    const OutputSettings& s = file.settings;
    // The same model and firmware: a value the reader holds is one it keeps, whatever the
    // configurator's lists offer.
    const bool sameFirmware = !f.otherModel && file.firmware == reader.who.firmware();
    // A value the reader cannot take: refused, or, from another model's file, left out.
    auto cannotTake = [&](const QString& what) { (f.otherModel ? f.skipped : f.refused) << what; };
    const FitRow::Take cannot = f.otherModel ? FitRow::Take::Skipped : FitRow::Take::Refused;
    for (const SettingRow& r : kSettings) {
        FitRow row;
        row.setting = &r;
        row.reader = r.value(held);
        row.file = r.value(s);
        if (row.file == row.reader || !taken(r.name)) continue;
        auto refuse = [&](const QString& why) {
            row.take = cannot;
            row.why = why;
            cannotTake(
                QStringLiteral("%1 %2 (%3)").arg(QLatin1String(r.key)).arg(row.file).arg(why));
        };
        const int wanted = row.file;
        // A list's entry, where the reader's list holds it. A list the model leaves empty offers
        // no choice, and its write sends what the block held, as it sends a hidden box.
        const int entries = r.shows == Shows::ProtocolList ? reader.shown.protocolCount
                            : r.shows == Shows::SecondList ? reader.shown.protocol2Entries
                                                           : 0;
        const QString list = QStringLiteral("this reader's list has %1 entries").arg(entries);
        if (!reader.carries(r)) {
            row.take = FitRow::Take::Record;
            f.record << QLatin1String(r.key);
        } else if (entries > 0 && wanted >= entries && (!sameFirmware || !r.keeps(wanted))) {
            refuse(list);
        } else if (r.shows == Shows::Milliseconds && wanted < r.unit) {
            refuse(QStringLiteral("the reader's shortest open time is %1 ms").arg(r.unit));
        } else if (r.shows == Shows::Milliseconds && wanted > r.fileMax) {
            refuse(QStringLiteral("over the reader's longest, %1 ms").arg(r.fileMax));
        } else if (r.shows == Shows::Milliseconds && wanted % r.unit != 0) {
            refuse(QStringLiteral("off the reader's %1 ms step").arg(r.unit));
        } else {
            if (entries > 0 && wanted >= entries) {
                row.beyondList = true;
                f.beyondList
                    << QStringLiteral("%1 %2 (%3)").arg(QLatin1String(r.key)).arg(wanted).arg(list);
            }
            r.set(f.settings, wanted);
        }
        f.rows.push_back(row);
    }
    // The filters: only where the model reads them and writes them whole.
    if (!file.filters) return f;
    bool anyTaken = false;
    filters::BoxStates chosen = reader.filterChoice;
    for (int i = 0; i < filters::kBoxCount; ++i)
        if (taken(kFilterKeys[i].name)) {
            chosen[i] = (*file.filters)[i];
            anyTaken = true;
        }
    const bool writable = m.readsFilters && m.filterWrite == FilterWrite::AutoOrExplicit &&
                          reader.filtersRead() && reader.filters->signatureValid;
    if (!writable) {
        if (anyTaken) {
            f.record << QStringLiteral("filters");
            f.rows.emplace_back().take = FitRow::Take::Record;
        }
        return f;
    }
    if (chosen == reader.filterChoice) return f;
    // A choice the filter rules would change is not one the window can hold.
    const filters::BoxStates ruled = applyFilterRules(chosen).checked;
    bool heldBack = false;
    for (int i = 0; i < filters::kBoxCount; ++i) {
        const bool differs = chosen[i] != reader.filterChoice[i];
        FitRow row;
        row.box = i;
        row.reader = reader.filterChoice[i];
        row.file = chosen[i];
        if (ruled[i] != chosen[i]) {
            cannotTake(QLatin1String(kFilterKeys[i].name) +
                       QStringLiteral(" (the filter rules hold it back)"));
            heldBack = true;
            row.take = cannot;
            row.why = QStringLiteral("the filter rules hold it back");
        }
        if (differs) f.rows.push_back(row);
    }
    if (!heldBack) f.filters = chosen;
    return f;
}

}  // namespace device
