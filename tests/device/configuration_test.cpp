// What a reader holds after "Read param", through the reader layer against the reader model in
// process (no port, no time-outs), so that hundreds of readers in random states are cheap: a
// settings file of one reader fits another of its model whatever each holds, and the other then
// reads back as the first; and what fit() says of files that do not fit.

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <deque>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "device/compare.h"
#include "device/configuration.h"
#include "device/settings_file.h"
#include "tests/support/fake_port.h"
#include "tools/emulator/reader_model.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

// A port whose far end is the reader model: each frame written is answered at once.
class ModelPort : public th::FakePort {
public:
    explicit ModelPort(emu::ReaderModel& model) : model_(model) {}
    bool isOpen() const override { return true; }
    void purgeInput() override { pending_.clear(); }
    comlink::Transfer write(const uint8_t* p, int n) override {
        const emu::Bytes reply = model_.answer(emu::Bytes(p, p + n));
        pending_.insert(pending_.end(), reply.begin(), reply.end());
        return {n, comlink::PortError::None};
    }
    comlink::Transfer read(uint8_t* p, int n) override {
        int k = 0;
        for (; k < n && !pending_.empty(); ++k) {
            p[k] = pending_.front();
            pending_.pop_front();
        }
        return {k, comlink::PortError::None};
    }

private:
    emu::ReaderModel& model_;
    std::deque<uint8_t> pending_;
};

// A reader on the bench: the model, the port to it and the layer on the port.
struct Bench {
    Bench() { reader.setPort(&port); }
    device::Configuration read() { return device::readConfiguration(reader); }
    emu::ReaderModel model;
    ModelPort port{model};
    device::Reader reader{[](const QString&) {},
                          [](const QString&, const QString&, const QString&) {}};
};

// The models with a parameter block that "Write param" writes.
constexpr uint8_t kModels[] = {0, 1, 2, 4, 6, 7, 13, 14, 15, 16};
// Firmware versions that take every branch of the version rules.
constexpr std::pair<uint8_t, uint8_t> kFirmware[] = {{1, 7},  {5, 0},  {7, 0}, {10, 0},
                                                     {11, 0}, {23, 0}, {28, 0}};

uint32_t baseSeed() {
    const char* s = std::getenv("TORVIK_SEED");
    return s ? static_cast<uint32_t>(std::strtoul(s, nullptr, 10)) : 20261210u;
}

bool writable(const device::Configuration& c) {
    return c.row().filterWrite == device::FilterWrite::AutoOrExplicit && c.filtersRead() &&
           c.filters->signatureValid;
}

// A reader as it may be found: any bytes in its block, protected or not, then brought to a
// random state as torvik-cli write and set-filter bring it, with the choices the window offers.
void randomState(Bench& b, uint8_t code, std::pair<uint8_t, uint8_t> firmware, std::mt19937& rng) {
    auto coin = [&] { return rng() % 2 == 1; };
    b.model.state.version = {firmware.first, firmware.second, 1, code};
    for (std::size_t i = 1; i < b.model.state.params.size(); ++i)
        b.model.state.params[i] = static_cast<uint8_t>(rng());
    b.model.state.params[0] = coin() ? device::kModeProtected : 0;
    b.model.state.filters = emu::defaultFilterBlock();

    device::Configuration c = b.read();
    ASSERT_TRUE(c.complete());
    // A list left alone keeps what the block held, an entry beyond the list or none at all.
    if (c.shown.protocolEntries() > 0 && coin())
        c.settings.protocol = static_cast<uint8_t>(rng() % c.shown.protocolEntries());
    if (c.shown.protocol2Entries > 0 && coin())
        c.chooseProtocol2(static_cast<uint8_t>(rng() % c.shown.protocol2Entries));
    if (c.row().fullBits) c.settings.typecode = static_cast<uint8_t>(rng() % 4);
    for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i)
        if (c.shown.options[i]) c.setOption(i, coin());
    if (c.shown.openTime) c.settings.openTimeMs = int(1 + rng() % 0xFFFF) * 100;
    ASSERT_EQ(b.reader.writeParams(c.device(), c.sentSettings(), c.openTimeUnits()),
              comlink::Reply::Accepted);
    if (writable(c)) {
        for (int k = 0; k < 6; ++k) {
            const auto box = static_cast<filters::Box>(rng() % filters::kBoxCount);
            if (c.filtersShown[box] && c.filterEnabled[box]) c.clickFilter(box, coin());
        }
        ASSERT_EQ(b.reader.setFilters(c.device(), c.filterChoice, false, true),
                  device::FilterWriteVerdict::Accepted);
    }
}

// The file as it travels: written out as JSON and read back.
device::SettingsRecord throughJson(const device::SettingsRecord& r) {
    QString error;
    const auto back = device::settingsFromJson(device::settingsJson(r), &error);
    EXPECT_TRUE(back) << error.toStdString();
    return back ? *back : r;
}

// Pairs of readers of each model "Write param" writes, both brought to random states on one
// firmware, each pair handed to check; the seed is in the trace (TORVIK_SEED repeats a run).
void forRandomPairs(
    int pairs, uint32_t salt,
    const std::function<void(uint8_t code, Bench& a, Bench& b, std::mt19937& rng)>& check) {
    const uint32_t seed = baseSeed();
    for (uint8_t code : kModels) {
        std::mt19937 rng(seed + salt * code);
        for (int pair = 0; pair < pairs; ++pair) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << " (TORVIK_SEED), model "
                                              << int(code) << ", pair " << pair);
            const auto firmware = kFirmware[rng() % std::size(kFirmware)];
            Bench a, b;
            randomState(a, code, firmware, rng);
            randomState(b, code, firmware, rng);
            if (::testing::Test::HasFatalFailure()) return;
            check(code, a, b, rng);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(CloneProperty, AReaderRestoredFromAnotherOfItsModelReadsBackAsThatOne) {
    forRandomPairs(300, 1, [](uint8_t code, Bench& a, Bench& b, std::mt19937&) {
        const device::Configuration readA = a.read();
        const device::SettingsRecord file = throughJson(readA.record());
        device::Configuration readB = b.read();
        const device::Fit fit = device::fit(readB, file);
        ASSERT_TRUE(fit.fits()) << fit.refused.join(", ").toStdString();
        ASSERT_TRUE(fit.skipped.isEmpty());
        readB.settings = fit.settings;
        ASSERT_EQ(b.reader.writeParams(readB.device(), readB.sentSettings(), readB.openTimeUnits()),
                  comlink::Reply::Accepted);
        if (fit.filters) {
            ASSERT_EQ(b.reader.setFilters(readB.device(), *fit.filters, false, true),
                      device::FilterWriteVerdict::Accepted);
        }

        // Every setting now reads as the first reader's, but the open time of a model whose
        // write does not carry it, and the filters where they are not both read and written
        // whole.
        const device::Configuration after = b.read();
        const device::SettingsRecord now = after.record();
        const device::OutputSettings& want = file.settings;
        const device::ModelRow m = *device::modelRow(code);
        EXPECT_EQ(now.settings.protocol, want.protocol);
        EXPECT_EQ(now.settings.protocol2, want.protocol2);
        EXPECT_EQ(now.settings.typecode, want.typecode);
        if (m.longWrite) {
            EXPECT_EQ(now.settings.openTimeMs, want.openTimeMs);
        }
        for (const device::OptionKey& k : device::kOptionKeys)
            EXPECT_EQ(now.settings.*k.member, want.*k.member) << k.name;
        if (writable(readA) && writable(after)) {
            EXPECT_EQ(now.filters, file.filters);
        }
    });
}

// Each name of a setting or a filter box, taken or not at random.
QStringList randomNames(std::mt19937& rng) {
    QStringList names;
    for (const device::SettingRow& r : device::kSettings)
        if (rng() % 2) names << QLatin1String(r.name);
    for (const device::FilterKey& k : device::kFilterKeys)
        if (rng() % 2) names << QLatin1String(k.name);
    return names;
}

// restore --only/--except and the dialog's ticks over random readers and files: the settings
// taken read back as the file has them, every other one as the reader held it.
TEST(TakenSettings, ReadBackAsTheFileAndTheOthersAsTheReaderHeldThem) {
    int applied = 0;
    forRandomPairs(60, 7, [&applied](uint8_t code, Bench& a, Bench& b, std::mt19937& rng) {
        const device::SettingsRecord file = throughJson(a.read().record());
        device::Configuration readB = b.read();
        const device::SettingsRecord before = readB.record();
        const QStringList names = randomNames(rng);
        // One of the pairs the reader keeps in shared bits takes the other.
        auto take = [&](const char* name) {
            const char* with = device::takenWith(name);
            return names.contains(QLatin1String(name)) ||
                   (with && names.contains(QLatin1String(with)));
        };

        // All taken is no choice at all; a row is a setting taken that differs.
        const device::Fit all = device::fit(readB, file, false, [](const char*) { return true; });
        EXPECT_EQ(all.rows.size(), device::fit(readB, file).rows.size());
        const device::Fit f = device::fit(readB, file, false, take);
        int differ = 0;
        for (const device::FitRow& r : f.rows) {
            if (r.box >= 0 || r.setting) {
                EXPECT_TRUE(take(r.name())) << r.name();
            }
            differ += r.take == device::FitRow::Take::Apply;
        }
        EXPECT_EQ(f.changes(), differ);
        if (!f.fits()) {
            // Only a mix of filter boxes that their rules would change is refused.
            for (const QString& why : f.refused)
                EXPECT_TRUE(why.endsWith("(the filter rules hold it back)")) << why.toStdString();
            return;
        }
        ++applied;
        readB.settings = f.settings;
        ASSERT_EQ(b.reader.writeParams(readB.device(), readB.sentSettings(), readB.openTimeUnits()),
                  comlink::Reply::Accepted);
        if (f.filters) {
            ASSERT_EQ(b.reader.setFilters(readB.device(), *f.filters, false, true),
                      device::FilterWriteVerdict::Accepted);
        }
        const device::SettingsRecord now = b.read().record();
        const device::ModelRow m = *device::modelRow(code);
        for (const device::SettingRow& r : device::kSettings) {
            if (!r.carriedBy(m)) continue;
            const int want = take(r.name) ? r.value(file.settings) : r.value(before.settings);
            EXPECT_EQ(r.value(now.settings), want) << r.name;
        }
        if (now.filters && before.filters && file.filters && f.filters) {
            for (int i = 0; i < filters::kBoxCount; ++i) {
                EXPECT_EQ((*now.filters)[i], take(device::kFilterKeys[i].name)
                                                 ? (*file.filters)[i]
                                                 : (*before.filters)[i])
                    << device::kFilterKeys[i].name;
            }
        }
    });
    EXPECT_GT(applied, 300) << "too few choices could be applied to test anything";
}

// A reader of the given model and block, read.
device::Configuration readerWith(uint8_t code, std::array<uint8_t, 9> params,
                                 std::pair<uint8_t, uint8_t> firmware = {1, 7}) {
    Bench b;
    b.model.state.version = {firmware.first, firmware.second, 1, code};
    b.model.state.params = params;
    return b.read();
}

TEST(Fit, DecidesByWhatTheModelsWriteCarriesAndItsListsHold) {
    // Model 13 hides "Wiegand without parity" and "Convert for H7120"; its write carries the
    // first and sends the second unticked.
    const device::Configuration first =
        readerWith(13, {0x01, 0x02, 0x09, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00});
    const device::Configuration second =
        readerWith(13, {0x01, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    EXPECT_FALSE(first.shown.options[0]);
    const device::SettingsRecord file = first.record();
    EXPECT_TRUE(file.settings.cbWgParityNo);
    EXPECT_FALSE(file.settings.cbBcc7Uid) << "the write sends it unticked";
    const device::Fit fit = device::fit(second, file);
    EXPECT_TRUE(fit.fits());
    EXPECT_TRUE(fit.record.isEmpty()) << fit.record.join(", ").toStdString();
    device::Configuration cloned = second;
    cloned.settings = fit.settings;
    EXPECT_EQ(cloned.writeRequest(), first.writeRequest());
    EXPECT_EQ(comlink::hexDump(first.writeRequest().data(), first.writeRequest().size()),
              "02 0B 0D 1C 02 09 00 00 05 00 00 46 00");

    // Values its write cannot take refuse the file; another model's file is refused whole, or
    // with --allow-other-model leaves them out.
    auto withSettings = [&](auto change) {
        device::SettingsRecord f = file;
        change(f);
        return device::fit(second, f);
    };
    EXPECT_EQ(withSettings([](auto& f) { f.settings.openTimeMs = 1550; }).refused,
              QStringList{"openTimeMs 1550 (off the reader's 100 ms step)"});
    EXPECT_EQ(withSettings([](auto& f) { f.settings.openTimeMs = 0; }).refused,
              QStringList{"openTimeMs 0 (the reader's shortest open time is 100 ms)"});
    EXPECT_EQ(withSettings([](auto& f) { f.settings.openTimeMs = 6553600; }).refused,
              QStringList{"openTimeMs 6553600 (over the reader's longest, 6553500 ms)"});
    // A list value beyond the configurator's list: the reader keeps it where the file is of its
    // model and firmware, and it is applied as such; from another firmware it is refused.
    const device::Fit beyond = withSettings([](auto& f) { f.settings.protocol = 6; });
    EXPECT_TRUE(beyond.fits());
    EXPECT_EQ(beyond.settings.protocol, 6);
    EXPECT_EQ(beyond.beyondList, QStringList{"protocol 6 (this reader's list has 6 entries)"});
    EXPECT_EQ(withSettings([](auto& f) {
                  f.settings.protocol = 6;
                  f.firmware = "1.8.1";
              }).refused,
              QStringList{"protocol 6 (this reader's list has 6 entries)"});
    // Only a value the block keeps as written: 7 reads back as not defined.
    EXPECT_EQ(withSettings([](auto& f) { f.settings.protocol = 7; }).refused,
              QStringList{"protocol 7 (this reader's list has 6 entries)"});
    EXPECT_TRUE(withSettings([](auto& f) { f.settings.protocol = 255; }).fits());
    // A box the write does not carry, and filters of a reader that did not read them, stay in
    // the file as a record.
    const device::Fit hid = withSettings([](auto& f) {
        f.settings.cbHidAnalisis = true;
        f.filters = filters::BoxStates{};
    });
    EXPECT_TRUE(hid.fits());
    EXPECT_EQ(hid.record, (QStringList{"cbHidAnalisis", "filters"}));
    const device::Fit other = withSettings([](auto& f) {
        f.modelCode = 4;
        f.settings.openTimeMs = 1550;
    });
    EXPECT_TRUE(other.modelRefused);
    EXPECT_FALSE(other.fits());
    device::SettingsRecord model4 = file;
    model4.modelCode = 4;
    model4.settings.openTimeMs = 1550;
    const device::Fit allowed = device::fit(second, model4, true);
    EXPECT_TRUE(allowed.fits());
    EXPECT_EQ(allowed.skipped, QStringList{"openTimeMs 1550 (off the reader's 100 ms step)"});
}

// A model code without a model has no name in a settings file, as in read --json and the units'
// records; a named one has its name.
TEST(Record, AnUnnamedModelHasNoName) {
    const auto block = std::array<uint8_t, 9>{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
    EXPECT_EQ(readerWith(3, block).record().modelName, QString());
    EXPECT_EQ(device::settingsJson(readerWith(3, block).record())["model"],
              QJsonObject({{"code", 3}, {"name", ""}}));
    EXPECT_EQ(readerWith(13, block).record().modelName, QStringLiteral("QLN-N2"));
}

TEST(Fit, FiltersAreAppliedWhereTheModelWritesThemWholeAndTheRulesAllowThem) {
    // Model 15 in protected mode reads its filters and writes them whole.
    const device::Configuration reader =
        readerWith(15, {0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    ASSERT_TRUE(reader.filtersRead());
    device::SettingsRecord file = reader.record();
    ASSERT_TRUE(file.filters);
    (*file.filters)[filters::Counter] = !(*file.filters)[filters::Counter];
    device::Fit fit = device::fit(reader, file);
    ASSERT_TRUE(fit.filters);
    EXPECT_EQ(*fit.filters, *file.filters);
    (*file.filters)[filters::Filter1] = (*file.filters)[filters::Filter2] = true;
    fit = device::fit(reader, file);
    EXPECT_FALSE(fit.fits());
    EXPECT_TRUE(fit.refused.join(", ").contains("(the filter rules hold it back)"));

    // Model 1 reads its filters but cannot write them: a record.
    const device::Configuration m1 =
        readerWith(1, {0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    ASSERT_TRUE(m1.filtersRead());
    device::SettingsRecord f1 = m1.record();
    (*f1.filters)[filters::Counter] = !(*f1.filters)[filters::Counter];
    EXPECT_EQ(device::fit(m1, f1).record, QStringList{"filters"});
}

// The line said above a file's rows: another model, another reader's adapter.
TEST(LoadWarnings, SayAnotherModelAndAnotherAdapter) {
    const auto block = std::array<uint8_t, 9>{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
    device::Configuration reader = readerWith(13, block);
    device::SettingsRecord file = throughJson(reader.record());
    EXPECT_TRUE(device::loadWarnings(reader, file).isEmpty());
    file.adapterSerial = "A50285BI";
    EXPECT_TRUE(device::loadWarnings(reader, file).isEmpty()) << "the port has no serial number";
    reader.adapterSerial = "A50285BI";
    EXPECT_TRUE(device::loadWarnings(reader, throughJson(file)).isEmpty()) << "the same adapter";
    reader.adapterSerial = "FT4ZK2QX";
    EXPECT_EQ(device::loadWarnings(reader, throughJson(file)),
              QStringList{"The file was saved from another reader: its adapter's serial number is "
                          "A50285BI, this port's is FT4ZK2QX."});
    file.modelCode = 4;
    file.modelName = "QLN-M2";
    EXPECT_EQ(device::loadWarnings(reader, file).value(0),
              "The file was saved from another model: model 4 (QLN-M2), firmware 1.7.1; this "
              "reader is model 13 (QLN-N2), firmware 1.7.1. Only the settings both carry are "
              "listed.");
    // The port's adapter goes into the file the reader's record makes.
    EXPECT_EQ(throughJson(reader.record()).adapterSerial, "FT4ZK2QX");
}

}  // namespace
