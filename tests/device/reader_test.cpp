// The reader layer on its own, against the reader emulator on a real pseudo-terminal: no window
// and no application object, only the port, the layer, its log lines and its typed results.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <ostream>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/support/json_schema.h"

#include "device/reader.h"
#include "device/settings_file.h"
#include "firmware/boot_protocol.h"
#include "tools/emulator/pty_reader.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

using Bytes = emu::Bytes;

std::string hex(const Bytes& b) {
    return comlink::hexDump(b.data(), b.size());
}

class ReaderLayer : public ::testing::Test {
protected:
    void SetUp() override {
        port = comlink::makeSystemSerialPort();
        ASSERT_TRUE(port->open(QString::fromStdString(emulator.slavePath())));
        ASSERT_TRUE(device::configureReaderLine(*port));
        reader.setPort(port.get());
    }
    void setModel(uint8_t model, std::array<uint8_t, 9> params = {0x01, 0x41, 0x00, 0x00, 0x00,
                                                                  0x0A, 0x00, 0x00, 0x00}) {
        emulator.withModel([&](emu::ReaderModel& m) {
            m.state.version = {1, 7, 1, model};
            m.state.params = params;
        });
    }
    // The log lines and the request frames of what f did, and nothing before it.
    template <typename F>
    void run(F&& f) {
        lines.clear();
        emulator.clearReceived();
        f();
        emulator.waitUntilQuiet();
    }
    // A programming run of image, its lines and packets recorded as run() records them.
    device::RunResult program(const QByteArray& image, bool progPgm,
                              const device::RunHooks& hooks = {}) {
        device::RunResult r;
        run([&] {
            r = reader.program({reinterpret_cast<const uint8_t*>(image.constData()),
                                static_cast<std::size_t>(image.size())},
                               progPgm, hooks);
        });
        return r;
    }
    // A new-type boot loader that asks for blocks 0 to blocks - 1, then for 999.
    void newTypeLoader(int blocks) {
        emulator.withBootLoader([&](emu::BootLoader& b) {
            b.generation = emu::BootGeneration::New;
            b.askFor(blocks);
        });
        emulator.enterBootLoader();
    }
    // "Read param" in its three steps.
    std::tuple<device::Identity, device::ParamRead, device::FilterRead> readParam() {
        device::Identity who;
        device::ParamRead params;
        device::FilterRead filters;
        run([&] {
            who = reader.identify();
            params = reader.readParams(who);
            filters = reader.readFilters(who);
        });
        return {who, params, filters};
    }
    std::vector<std::string> requests() const {
        std::vector<std::string> frames;
        for (const Bytes& f : emulator.requests()) frames.push_back(hex(f));
        return frames;
    }

    emu::PtyReader emulator;
    std::unique_ptr<comlink::SerialPort> port;
    QStringList lines;
    std::vector<QString> boxes;
    device::Reader reader{
        [this](const QString& l) { lines << l; },
        [this](const QString&, const QString& text, const QString&) { boxes.push_back(text); }};
};

TEST_F(ReaderLayer, ReadParamOfALongFormReaderInProtectedMode) {
    const auto [who, params, filters] = readParam();
    EXPECT_EQ(requests(), (std::vector<std::string>{"02 07 07 28 00 38 00", "02 07 07 2A 00 3A 00",
                                                    "02 07 07 2B 00 3B 00"}));
    EXPECT_EQ(
        lines,
        (QStringList{"OK", "VERSION  15.1.7.1", "model: Torvik-N3", "OK", "PARAM  0A0000004101",
                     "Mode: protected.", "Wiegand 26", "Direct transmission", "OK", "FILTER READ",
                     "AA550000100000000200000000000000", "30350000000000000000000000000000"}));
    ASSERT_TRUE(who.identified());
    EXPECT_EQ(who.row->device, 15);
    EXPECT_EQ(who.version32(), 0x010701u);
    EXPECT_EQ(params.reply, comlink::Reply::Accepted);
    EXPECT_TRUE(params.protectedMode());
    const device::OutputSettings& s = params.decoded.settings;
    EXPECT_EQ(s.protocol, 1);
    EXPECT_TRUE(s.cbLock);
    EXPECT_FALSE(s.cbPolLock);
    EXPECT_EQ(s.openTimeMs, 1000);
    EXPECT_EQ(filters.reply, comlink::Reply::Accepted);
    EXPECT_TRUE(filters.signatureValid);
    EXPECT_TRUE(filters.choice[filters::Filter1]);
    EXPECT_FALSE(filters.choice[filters::Filter2]);
    EXPECT_TRUE(filters.choice[filters::Zero]);  // this model's Zero is checked by a set bit
}

TEST_F(ReaderLayer, IdentifyTellsAnUnknownModelAndASilentReaderApart) {
    setModel(17);
    device::Identity who;
    run([&] { who = reader.identify(); });
    EXPECT_EQ(lines, (QStringList{"OK", "VERSION  17.1.7.1"}));
    EXPECT_EQ(who.reply, comlink::Reply::Accepted);
    EXPECT_FALSE(who.identified());

    emulator.script(emu::Action::silence());
    run([&] { who = reader.identify(); });
    EXPECT_EQ(lines, QStringList{"no connection (VER)"});
    EXPECT_EQ(who.reply, comlink::Reply::None);
    EXPECT_FALSE(reader.replyComplete());
}

TEST_F(ReaderLayer, ShortBlockReaderLogsOnlyItsProtocol) {
    setModel(6, {0x00, 0x13, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    device::ParamRead params;
    run([&] { params = reader.readParams(reader.identify()); });
    EXPECT_EQ(lines.mid(3), (QStringList{"OK", "Wiegand 42"}));
    EXPECT_EQ(params.decoded.settings.protocol2, 2);
    EXPECT_TRUE(params.decoded.settings.cbRs485_232);
    EXPECT_TRUE(params.decoded.settings.cbHidAnalisis);
}

TEST_F(ReaderLayer, WriteParamsInTheShortAndTheLongForm) {
    device::OutputSettings s;
    s.protocol = 1;
    comlink::Reply reply{};
    run([&] { reply = reader.writeParams(4, s, 0); });
    EXPECT_EQ(reply, comlink::Reply::Accepted);
    EXPECT_EQ(requests(), std::vector<std::string>{"02 0B 09 1C 01 00 00 33 00"});
    EXPECT_EQ(lines, QStringList{"OK"});

    s.cbLock = true;
    run([&] { reply = reader.writeParams(13, s, 10); });
    EXPECT_EQ(requests(), std::vector<std::string>{"02 0B 0D 1C 41 00 00 00 0A 00 00 81 00"});
    EXPECT_EQ(lines, QStringList{"OK"});
}

TEST_F(ReaderLayer, TheThreeFilterWriteForms) {
    filters::BoxStates defaults = device::applyFilterRules(filters::kDefaultChecked).checked;
    device::FilterWriteVerdict v{};
    run([&] { v = reader.setFilters(10, defaults, false, false); });
    EXPECT_EQ(v, device::FilterWriteVerdict::Accepted);
    EXPECT_EQ(requests(),
              (std::vector<std::string>{"02 07 07 1F 01 30 00", "02 07 07 1F 08 37 00",
                                        "02 07 07 1F 0D 3C 00", "02 07 07 1F 13 42 00",
                                        "02 07 07 1F 19 48 00", "02 07 07 1F 17 46 00"}));

    run([&] { v = reader.setFilters(4, defaults, false, false); });
    EXPECT_EQ(v, device::FilterWriteVerdict::Accepted);
    EXPECT_EQ(requests(), std::vector<std::string>{"02 07 07 2C 00 3C 00"});
    EXPECT_EQ(lines, QStringList{"OK: Filter write."});

    run([&] { v = reader.setFilters(15, defaults, false, false); });
    EXPECT_EQ(v, device::FilterWriteVerdict::NotRead);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(lines, QStringList{"The filter parameters were not read."});

    run([&] { v = reader.setFilters(15, defaults, false, true); });
    EXPECT_EQ(v, device::FilterWriteVerdict::Accepted);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].substr(0, 17), "02 07 3C 2C 02 EB");
    EXPECT_EQ(lines.size(), 2);
    EXPECT_EQ(lines.last(), QStringLiteral("OK: Filter write."));

    emulator.script(emu::Action::withStatus(0x20));
    run([&] { v = reader.setFilters(10, defaults, false, false); });
    EXPECT_EQ(v, device::FilterWriteVerdict::Refused);
    EXPECT_EQ(lines, (QStringList{"Error: The Object Card mast be registred", "NO OK"}));

    run([&] { v = reader.setFilters(7, defaults, false, false); });
    EXPECT_EQ(v, device::FilterWriteVerdict::Unsupported);
    EXPECT_TRUE(requests().empty());
}

TEST_F(ReaderLayer, BootEntryThenAnOldTypeRunDeliversTheImage) {
    comlink::Reply entry{};
    run([&] { entry = reader.enterBootLoader(); });
    EXPECT_EQ(entry, comlink::Reply::Accepted);
    EXPECT_EQ(hex(emulator.received()), "02 07 06 E0 EF 00");
    EXPECT_EQ(lines, QStringList{"OK"});

    QByteArray image(2 * 132 + 40, '\x5A');
    std::vector<int> progress;
    device::RunHooks hooks;
    hooks.progress = [&](int p) { progress.push_back(p); };
    const device::RunResult r = program(image, false, hooks);
    EXPECT_EQ(lines, (QStringList{"passed 0 block", "passed 1 block", "passed 2 block", "Given all",
                                  "Transmission OK"}));
    EXPECT_EQ(r.end, device::RunEnd::GivenAll);
    EXPECT_EQ(r.blocksAccepted, 3);
    EXPECT_EQ(r.bytesAccepted, image.size());
    EXPECT_TRUE(r.endFrameSent && r.endFrameConfirmed);
    EXPECT_FALSE(r.filterRequest.has_value());
    EXPECT_EQ(progress.back(), 100);
    const auto packets = emulator.bootLoader().packets;
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(hex(packets.back()), "E1 02 8D 56");
    const Bytes got = emulator.bootLoader().image;
    EXPECT_EQ(Bytes(got.begin(), got.begin() + image.size()), Bytes(image.begin(), image.end()));
}

TEST_F(ReaderLayer, ANewTypeRunWithProgEndsAtBlock999) {
    newTypeLoader(2);
    QByteArray image(2 * 262 + 4, '\x33');
    const device::RunResult r = program(image, true);
    EXPECT_EQ(lines,
              (QStringList{"passed 0 block old type", "passed 1 block old type", "END OF PGM"}));
    EXPECT_EQ(r.end, device::RunEnd::EndOfPgm);
    EXPECT_EQ(r.blocksAccepted, 2);
    EXPECT_EQ(r.bytesAccepted, 2 * 262);
    EXPECT_FALSE(r.endFrameSent);
    const auto packets = emulator.bootLoader().packets;
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(hex(packets[0]), "50 52 4F 47");
}

TEST_F(ReaderLayer, TheStopFlagEndsTheRunWithTheEndFrameAndCountsWhatWent) {
    emulator.enterBootLoader();
    QByteArray image(10 * 132, '\x11');
    device::RunHooks hooks;
    int asked = 0;
    hooks.stopRequested = [&] { return ++asked == 2; };
    const device::RunResult r = program(image, false, hooks);
    EXPECT_EQ(lines, (QStringList{"passed 0 block", "passed 1 block", "Transmission OK"}));
    EXPECT_EQ(r.end, device::RunEnd::Stopped);
    EXPECT_EQ(r.blocksAccepted, 2);
    EXPECT_EQ(r.bytesAccepted, 264);
    EXPECT_EQ(r.imageBytes, 1320);
    EXPECT_TRUE(r.endFrameSent && r.endFrameConfirmed);
    EXPECT_EQ(hex(emulator.bootLoader().packets.back()), "E1 02 8D 56");
}

TEST_F(ReaderLayer, ABootLoaderAskingPastTheImageIsTheWrongImage) {
    newTypeLoader(4);
    QByteArray image(2 * 262 + 4, '\x44');
    const device::RunResult r = program(image, true);
    EXPECT_EQ(lines.last(), QStringLiteral("Transmission OK"));
    EXPECT_EQ(r.end, device::RunEnd::FileSizeExceeded);
    const device::RunOutcome o = device::runOutcome(r);
    EXPECT_FALSE(o.delivered);
    EXPECT_TRUE(
        o.text.startsWith("Not delivered: the boot loader asked for a block past the image"))
        << o.text.toStdString();
}

TEST_F(ReaderLayer, AReaderLeftInItsBootLoaderIsToldByItsAnswer) {
    // Old-type: the version request is no block, and the boot loader says NAK.
    emulator.enterBootLoader();
    device::Identity who;
    run([&] { who = reader.identify(); });
    EXPECT_FALSE(who.identified());
    auto answer = reader.bootLoaderAnswer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_FALSE(answer->newType);

    // New-type, before any run: it asks for its first block.
    newTypeLoader(3);
    run([&] { who = reader.identify(); });
    answer = reader.bootLoaderAnswer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(answer->newType);

    // A reader that answers with garbage, or not at all, is no boot loader.
    emulator.withModel([](emu::ReaderModel& m) { m.state.inBootLoader = false; });
    emulator.script(emu::Action::garbage());
    run([&] { who = reader.identify(); });
    EXPECT_FALSE(reader.bootLoaderAnswer().has_value());
}

// A malformed header is no boot loader's answer, and the check for one must not wait for bytes
// that will never come: the version exchange and the check end well within one read time-out.
TEST_F(ReaderLayer, AGarbageHeaderCostsNoWaitForABootLoader) {
    for (const Bytes& header : {Bytes{0x00, 0x00, 0x00}, Bytes{0x00, 0x00, 0x01},
                                Bytes{0x00, 0x00, 0x02}, Bytes{0x02, 0x07, 0x02}}) {
        emulator.script(emu::Action::reply(header));
        const auto start = std::chrono::steady_clock::now();
        const device::Identity who = reader.identify();
        const std::optional<device::BootLoaderAnswer> answer = reader.bootLoaderAnswer();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        EXPECT_FALSE(who.identified()) << hex(header);
        EXPECT_FALSE(answer.has_value()) << hex(header);
        EXPECT_LT(ms, 1500) << hex(header) << ": waited for the rest of a boot loader answer";
    }
}

TEST(RunOutcome, OneLineAndOneVerdictForEveryEnd) {
    struct Case {
        device::RunEnd end;
        bool confirmed, everyBlock;
        std::optional<comlink::Reply> filters;
        bool delivered;
        const char* text;
    };
    using E = device::RunEnd;
    const auto ok = comlink::Reply::Accepted;
    const Case cases[] = {
        {E::GivenAll, true, false, {}, true, "Firmware delivered: 1716 of 4096 bytes"},
        {E::GivenAll, true, false, ok, true, "Firmware delivered: 1716 of 4096 bytes"},
        {E::GivenAll, true, false, comlink::Reply::Refused, false,
         "Firmware sent (1716 of 4096 bytes), but the reader did not take the automatic filter "
         "request"},
        {E::GivenAll,
         false,
         false,
         {},
         false,
         "Not delivered: the boot loader did not confirm the end frame; 1716 of 4096 bytes "
         "accepted"},
        {E::Stopped, true, false, {}, false, "Stopped: 1716 of 4096 bytes accepted"},
        {E::EndOfPgm, false, true, {}, true, "Firmware delivered: 1716 of 4096 bytes"},
        {E::EndOfPgm,
         false,
         false,
         {},
         false,
         "Not delivered: the boot loader ended (END OF PGM) before it had asked for the whole "
         "image; 1716 of 4096 bytes accepted"},
        {E::StopScan,
         false,
         false,
         {},
         false,
         "Not delivered: seven packets in a row failed (Stop scan); 1716 of 4096 bytes "
         "accepted"},
    };
    for (const Case& c : cases) {
        device::RunResult r;
        r.end = c.end;
        r.endFrameSent = true;
        r.endFrameConfirmed = c.confirmed;
        r.everyBlockAnswered = c.everyBlock;
        r.filterRequest = c.filters;
        r.bytesAccepted = 1716;
        r.imageBytes = 4096;
        const device::RunOutcome o = device::runOutcome(r);
        EXPECT_EQ(o.delivered, c.delivered) << c.text;
        EXPECT_EQ(o.text, QString::fromLatin1(c.text));
    }
}

// A settings file: what a read gives, whole, back again; anything else is refused with what is
// wrong with it.
TEST_F(ReaderLayer, SettingsFileRoundTripAndRefusals) {
    const auto [who, params, filters] = readParam();
    const device::SettingsRecord r = device::recordOf(who, params, &filters);
    QTemporaryDir dir;
    const QString path = dir.filePath("reader.json");
    QString error;
    ASSERT_TRUE(device::writeSettingsFile(path, r, &error)) << error.toStdString();
    EXPECT_EQ(th::schemaErrors("settings-file.schema.json", path), "");
    const auto back = device::readSettingsFile(path, &error);
    ASSERT_TRUE(back.has_value()) << error.toStdString();
    EXPECT_EQ(back->modelCode, 15);
    EXPECT_EQ(back->firmware, QStringLiteral("1.7.1"));
    EXPECT_EQ(back->settings, params.decoded.settings);
    EXPECT_EQ(back->filters, std::optional(filters.choice));
    EXPECT_EQ(back->paramBlock, params.block);
    EXPECT_EQ(back->filterBlock, std::optional(filters.block));

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray whole = f.readAll();
    f.close();
    const std::pair<QByteArray, const char*> bad[] = {
        {whole.left(whole.size() / 2), "not a settings file"},
        {"not json", "not a settings file"},
        {"{}", "it has no \"format\""},
        {QByteArray(whole).replace("\"format\": 1", "\"format\": 2"), "its format 2 is not"},
        {QByteArray(whole).replace("\"cbLock\": true", "\"cbLock\": 1"),
         "\"cbLock\" is not true or false"},
    };
    for (const auto& [content, says] : bad) {
        QFile w(path);
        ASSERT_TRUE(w.open(QIODevice::WriteOnly | QIODevice::Truncate));
        w.write(content);
        w.close();
        EXPECT_FALSE(device::readSettingsFile(path, &error).has_value()) << says;
        EXPECT_TRUE(error.startsWith(path + ": ") && error.contains(QLatin1String(says)))
            << error.toStdString();
    }
}

TEST(ReaderSettings, FilterRulesAndWhatAModelOffers) {
    filters::BoxStates both{};
    both[filters::Filter1] = both[filters::Filter2] = both[filters::Filter2Exc] = true;
    const device::FilterRules r = device::applyFilterRules(both);
    EXPECT_FALSE(r.checked[filters::Filter1]);  // Filter 2 wins
    EXPECT_TRUE(r.checked[filters::Filter2Exc]);
    EXPECT_EQ(r.enabled[filters::Zero], false);
    EXPECT_EQ(r.enabled[filters::Filter2Exc], true);
    filters::BoxStates one{};
    one[filters::Filter1] = one[filters::Filter2Exc] = one[filters::Counter] = true;
    const device::FilterRules r1 = device::applyFilterRules(one);
    EXPECT_FALSE(r1.checked[filters::Filter2Exc]);
    EXPECT_EQ(r1.enabled[filters::CDelete], true);
    EXPECT_EQ(r1.enabled[filters::Otp2Plus], false);

    auto names = [](const device::ShownControls& o) {
        std::vector<std::string> n;
        for (std::size_t i = 0; i < o.options.size(); ++i)
            if (o.options[i]) n.push_back(device::kOptionKeys[i].name);
        return n;
    };
    const device::ShownControls m2 = device::shownControls(*device::modelRow(1), 11, 0);
    EXPECT_EQ(m2.protocolEntries(), 6);
    EXPECT_EQ(names(m2), (std::vector<std::string>{"cbWgParityNo", "cbBcc7Uid", "cbRestrictTm",
                                                   "cbReverseCode"}));
    EXPECT_TRUE(device::shownControls(*device::modelRow(15), 1, 7).openTime);
    EXPECT_FALSE(device::shownControls(*device::modelRow(15), 1, 7, 0, true).openTime);
    EXPECT_EQ(names(device::shownControls(*device::modelRow(6), 0, 0, 2)),
              (std::vector<std::string>{"cbRs485_232", "cbRestrictTm", "cbHidAnalisis"}));
    EXPECT_EQ(device::shownControls(*device::modelRow(7), 0, 0).protocol2Entries, 0);
    EXPECT_EQ(device::shownControls(*device::modelRow(10), 0, 0).protocolEntries(), 0);
}

// Backups written beside the window: every one given is on disk once the writer has ended, each
// whole, and a folder that cannot be made is said for each.
TEST(BackupWriter, WritesEverythingItWasGivenBeforeItEnds) {
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    device::SettingsRecord r;
    r.modelCode = 13;
    r.paramBlock = {0x01, 0x02, 0x09, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00};
    std::atomic<int> written{0};
    {
        device::BackupWriter writer;
        for (int i = 0; i < 20; ++i)
            writer.add(QStringLiteral("COM%1").arg(i + 1), r,
                       [&](const QString& path, const QString& error) {
                           if (!path.isEmpty() && error.isEmpty()) ++written;
                       });
    }
    EXPECT_EQ(written.load(), 20);
    const QStringList files = QDir(device::backupFolder()).entryList({"*.json"}, QDir::Files);
    ASSERT_EQ(files.size(), 20);
    for (const QString& f : files) {
        QString error;
        const auto back = device::readSettingsFile(device::backupFolder() + '/' + f, &error);
        ASSERT_TRUE(back.has_value()) << error.toStdString();
        EXPECT_EQ(back->paramBlock, r.paramBlock);
    }

    // A file where the folder should be: nothing can be written, and each backup says why.
    QFile blocker(data.filePath("torvik-config"));
    ASSERT_TRUE(QDir(data.filePath("torvik-config")).removeRecursively());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QStringList errors;
    device::BackupWriter writer;
    writer.add("COM3", r, [&](const QString& path, const QString& error) {
        EXPECT_TRUE(path.isEmpty());
        errors << error;
    });
    writer.waitUntilWritten();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("cannot make the folder")) << errors[0].toStdString();
    qunsetenv("XDG_DATA_HOME");
}

}  // namespace

// The serial port wants the event loop's thread, as in torvik-cli: a core application, no
// window system.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
