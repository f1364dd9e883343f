// write, factory-settings and set-filter: the changes as a user makes them on the window, then
// "Write param" or "Set filter", and a read-back of what the reader took.

#include <functional>

#include "device/protocol_lists.h"
#include "shell/cli/commands.h"
#include "shell/cli/output.h"
#include "shell/cli/session.h"

namespace cli {

namespace {

QString protocolName(const device::Configuration& c, int i) {
    return QString::fromLatin1(device::protocolEntry(i, c.withoutParity));
}

// An entry of a list by its text or its index; -1 after saying what the list holds.
int entry(const QString& wanted, int count, const std::function<QString(int)>& name,
          const char* option) {
    if (count == 0) {
        err(QStringLiteral("--%1: the list is not shown for this reader").arg(option));
        return -1;
    }
    bool isIndex = false;
    int i = wanted.toInt(&isIndex);
    if (!isIndex) {
        i = -1;
        for (int k = 0; k < count && i < 0; ++k)
            if (name(k) == wanted) i = k;
    }
    if (i < 0 || i >= count) {
        QStringList entries;
        for (int k = 0; k < count; ++k) entries << QStringLiteral("%1 \"%2\"").arg(k).arg(name(k));
        err(QStringLiteral("--%1: no entry \"%2\"; this reader's list has %3")
                .arg(option, wanted, entries.join(QStringLiteral(", "))));
        return -1;
    }
    return i;
}

// The choices of --protocol, --type-code, --protocol2, --set and --open-time, each list's change
// logged as the window logs it; a usage error names what this reader shows.
int applyChoices(Session& s) {
    const Options& o = s.options();
    device::Configuration& c = s.config();
    if (!o.protocol.isEmpty()) {
        const int i = entry(
            o.protocol, c.shown.protocolEntries(), [&c](int k) { return protocolName(c, k); },
            "protocol");
        if (i < 0) return kUsage;
        c.settings.protocol = static_cast<uint8_t>(i);
        s.log(protocolName(c, i));
    }
    if (!o.typeCode.isEmpty()) {
        const int i = entry(
            o.typeCode, 4, [](int k) { return QString::fromLatin1(device::kTypeCodeEntries[k]); },
            "type-code");
        if (i < 0) return kUsage;
        c.settings.typecode = static_cast<uint8_t>(i);
        s.log(QString::fromLatin1(device::kTypeCodeEntries[i]));
    }
    if (!o.protocol2.isEmpty()) {
        const bool serial = c.shown.secondSerial;
        const int i = entry(
            o.protocol2, c.shown.protocol2Entries,
            [serial](int k) { return QString::fromLatin1(device::protocol2Entry(k, serial)); },
            "protocol2");
        if (i < 0) return kUsage;
        c.chooseProtocol2(static_cast<uint8_t>(i));
        s.log(QString::fromLatin1(device::protocol2Entry(i, serial)));
    }
    for (const BoxChoice& b : o.boxes) {
        const int i = keyIndex(device::kOptionKeys, b.key);
        if (i < 0) {
            QStringList keys;
            for (std::size_t k = 0; k < c.shown.options.size(); ++k)
                if (c.shown.options[k]) keys << inDoubleQuotes(device::kOptionKeys[k].name);
            err(QStringLiteral("--set: no box \"%1\" here; the boxes shown are %2")
                    .arg(b.key, keys.join(QStringLiteral(", "))));
            return kUsage;
        }
        if (!c.shown.options[i]) {
            err(QStringLiteral("--set: the box \"%1\" is not shown for this reader").arg(b.key));
            return kUsage;
        }
        c.setOption(static_cast<std::size_t>(i), b.checked);
    }
    if (o.openTimeMs) {
        if (!c.shown.openTime) {
            err(QStringLiteral("--open-time: this reader shows no open time"));
            return kUsage;
        }
        c.settings.openTimeMs = *o.openTimeMs;
    }
    return kOk;
}

// The filter boxes of --set, clicked as a user would.
int applyFilterBoxes(Session& s) {
    device::Configuration& c = s.config();
    for (const BoxChoice& b : s.options().boxes) {
        const int i = keyIndex(device::kFilterKeys, b.key);
        if (i < 0 || !c.filtersShown[i]) {
            QStringList keys;
            for (int k = 0; k < filters::kBoxCount; ++k)
                if (c.filtersShown[k]) keys << inDoubleQuotes(device::kFilterKeys[k].name);
            if (i < 0)
                err(QStringLiteral("--set: no box \"%1\" here; the boxes shown are %2")
                        .arg(b.key, keys.isEmpty() ? QStringLiteral("none")
                                                   : keys.join(QStringLiteral(", "))));
            else
                err(QStringLiteral("--set: the box \"%1\" is not shown for this reader")
                        .arg(b.key));
            return kUsage;
        }
        if (c.filterChoice[i] == b.checked) continue;
        if (!c.filterEnabled[i]) {
            err(QStringLiteral("--set: the box \"%1\" cannot be changed now: the other boxes' "
                               "rules hold it")
                    .arg(b.key));
            return kUsage;
        }
        c.clickFilter(static_cast<filters::Box>(i), b.checked);
        if (c.filterChoice[i] != b.checked) {
            err(QStringLiteral("--set: the box \"%1\" cannot be %2: the filter rules undo it")
                    .arg(b.key, b.checked ? QStringLiteral("ticked") : QStringLiteral("unticked")));
            return kUsage;
        }
    }
    return kOk;
}

}  // namespace

int runWrite(Session& s) {
    if (const int e = applyChoices(s)) return e;
    const device::Configuration wrote = s.config();
    if (const int e = s.writeParams()) return e;
    return s.readBack(&wrote, nullptr);
}

int runFactorySettings(Session& s) {
    // The window's "Factory Settings": the lists to their first entries, each logged.
    device::Configuration& c = s.config();
    device::factorySettings(c.settings);
    s.log(protocolName(c, 0));
    s.log(c.shown.protocol2Entries > 0
              ? QString::fromLatin1(device::protocol2Entry(0, c.shown.secondSerial))
              : QString());
    s.log(QString::fromLatin1(device::kTypeCodeEntries[0]));
    return s.writeParams();
}

int runSetFilter(Session& s) {
    if (const int e = applyFilterBoxes(s)) return e;
    const device::Configuration& c = s.config();
    if (s.reader().setFilters(c.device(), c.filterChoice, false, c.filtersRead()) !=
        device::FilterWriteVerdict::Accepted)
        return kFailed;
    // Only the full frame names every box, and only a reader that reads its filters can show
    // what it took.
    const bool explicitFrame =
        c.row().filterWrite == device::FilterWrite::AutoOrExplicit && c.filtersRead();
    const filters::BoxStates wrote = c.filterChoice;
    return explicitFrame ? s.readBack(nullptr, &wrote) : kOk;
}

}  // namespace cli
