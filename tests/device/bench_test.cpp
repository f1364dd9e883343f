// The bench of readers under faults: many readers at once, each given its own seeded random
// faults in its boot loader's answers, one of them clean; every unit's end event, summary
// figures and record must say what that reader took, no more and no less. The readers live in
// this process and nothing waits on a clock, so hundreds of benches run in seconds.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>

#include <gtest/gtest.h>

#include "device/bench.h"
#include "device/reader.h"
#include "firmware/boot_protocol.h"
#include "shell/cli/bench.h"
#include "shell/cli/commands.h"
#include "tests/support/in_process_reader.h"

namespace {

// What the bench said of each port, as a listener hears it.
class Heard final : public device::BenchEvents {
public:
    void started(const QString& port, const QString&, const QString&) override {
        const std::lock_guard<std::mutex> lock(mutex);
        ++starts[port];
    }
    void line(const QString& port, bool, const QString& text) override {
        const std::lock_guard<std::mutex> lock(mutex);
        lines[port] << text;
    }
    void progress(const QString&, int, qint64, qint64, const QString&) override {}
    void ended(const QString& port, const device::UnitRun& run) override {
        const std::lock_guard<std::mutex> lock(mutex);
        ends.emplace(port, run);
    }
    std::mutex mutex;
    std::map<QString, int> starts;
    std::map<QString, QStringList> lines;
    std::multimap<QString, device::UnitRun> ends;
};

void noPause(unsigned long) {}

// A firmware file: a header, then an image of `bytes` random bytes and its length trailer.
QByteArray romFile(std::mt19937& rng, int bytes) {
    QByteArray rom("ROM header\n");
    QByteArray image(bytes, '\0');
    for (char& c : image) c = static_cast<char>(rng() & 0xFF);
    uchar trailer[4];
    qToLittleEndian<qint32>(bytes, trailer);
    image.replace(bytes - 4, 4, reinterpret_cast<const char*>(trailer), 4);
    return rom + image;
}

// One fault the boot loader may give a packet: a refusal (NAK: the same block again, no failure)
// or one of the failures, seven of which in a row end the run.
emu::BootAction randomFault(std::mt19937& rng, bool failure = false) {
    switch (rng() % 6 + (failure ? 1 : 0)) {
        case 0:
            return emu::BootAction::status(firmware::kNak);
        case 1:
            return emu::BootAction::silence();
        case 2:
            return emu::BootAction::garbage();
        case 3:
            return emu::BootAction::status(0x77);  // a status the configurator does not know
        case 4:
            return emu::BootAction::wrongCheck();
        case 5:
            return emu::BootAction::cutStatus();
        default:
            return emu::BootAction::cutRequest(0);
    }
}

struct Plan {
    QString what;  // for the failure message
};

// The faults of one reader: none (the clean one), a few scattered, seven refusals in a row, or
// the line cut at some packet.
Plan giveFaults(std::mt19937& rng, th::InProcessReader& r, int packets, bool clean) {
    Plan p{QStringLiteral("clean")};
    if (clean) return p;
    switch (rng() % 4) {
        case 0:
        case 1: {
            const int n = 1 + static_cast<int>(rng() % 4);
            p.what = QStringLiteral("scattered:");
            for (int i = 0; i < n; ++i) {
                const int at = static_cast<int>(rng() % static_cast<unsigned>(packets + 2));
                r.faults[at] = randomFault(rng);
                p.what += QStringLiteral(" %1").arg(at);
            }
            break;
        }
        case 2: {
            const int at = static_cast<int>(rng() % static_cast<unsigned>(packets));
            for (int i = 0; i < 7; ++i) r.faults[at + i] = randomFault(rng, true);
            p.what = QStringLiteral("seven failures from %1").arg(at);
            break;
        }
        default: {
            const int at = static_cast<int>(rng() % static_cast<unsigned>(packets + 1));
            r.faults[at] = emu::BootAction::hangUp();
            p.what = QStringLiteral("line cut at %1").arg(at);
            break;
        }
    }
    return p;
}

std::map<QString, QJsonObject> lastRecords(const QString& path) {
    std::map<QString, QJsonObject> last;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return last;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty()) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            last[o.value("port").toString()] = o;
        }
    return last;
}

// Runs `benches` benches of random readers from the seed; on the first unit whose words are not
// what its reader took, says so with the seed and stops.
void benchesUnderFaults(uint32_t seed, int benches, int* unitsRun, int* faultsGiven,
                        int fixedReaders = 0) {
    std::mt19937 rng(seed);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const cli::CommandRow* program = cli::command(QStringLiteral("program"));
    ASSERT_NE(program, nullptr);
    for (int b = 0; b < benches; ++b) {
        // Old-type: any length; new-type: whole blocks and the length trailer, the blocks the
        // boot loader asks for (PROG first: the model's "PROG pgm" is ticked).
        const bool newType = rng() % 2 == 0;
        const int newBlocks = 1 + static_cast<int>(rng() % 6);
        const int blockData = newType ? firmware::kNewBlockData : firmware::kOldBlockData;
        const int imageBytes = newType
                                   ? newBlocks * firmware::kNewBlockData + 4
                                   : 8 + static_cast<int>(rng() % (6 * firmware::kOldBlockData));
        const QByteArray rom = romFile(rng, imageBytes);
        const QString romPath = dir.filePath(QStringLiteral("fw%1.rom").arg(b));
        {
            QFile f(romPath);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(rom) == rom.size());
        }
        // What the reader must hold: new-type, the blocks without the trailer, which is not sent.
        const QByteArray image =
            rom.right(imageBytes).left(newType ? newBlocks * firmware::kNewBlockData : imageBytes);
        const int packets = newType ? 1 + newBlocks : (imageBytes + blockData - 1) / blockData;

        th::InProcessBench bench;
        const int n = fixedReaders ? fixedReaders : 2 + static_cast<int>(rng() % 7);
        const int clean = static_cast<int>(rng() % static_cast<unsigned>(n));
        cli::Options o;
        o.command = QStringLiteral("program");
        o.file = romPath;
        o.units = dir.filePath(QStringLiteral("units%1.jsonl").arg(b));
        o.jobs = rng() % 3 == 0 ? 1 + static_cast<int>(rng() % 3) : 0;
        std::map<QString, std::shared_ptr<th::InProcessReader>> readers;
        std::map<QString, Plan> plans;
        for (int i = 0; i < n; ++i) {
            const QString port = dir.filePath(QStringLiteral("b%1-reader%2").arg(b).arg(i));
            QFile(port).open(QIODevice::WriteOnly);
            auto r = bench.add(port);
            r->setModel(newType ? 15 : 4);
            if (newType) r->setNewType(newBlocks);
            plans[port] = giveFaults(rng, *r, packets, i == clean);
            *faultsGiven += static_cast<int>(r->faults.size());
            readers[port] = r;
            o.ports << port;
        }
        o.jobFile = std::make_shared<const cli::JobFile>(cli::readJobFile(o));
        ASSERT_EQ(o.jobFile->code, 0) << o.jobFile->error.toStdString();
        // Fixed now: the file changes under the bench, and nothing sent or recorded may show it.
        {
            QFile f(romPath);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(romFile(rng, imageBytes));
        }

        Heard heard;
        const device::BenchJob job = cli::benchJob(o, *program, true);
        const std::vector<device::UnitRun> runs = device::runBench(job, o.ports, heard);
        const auto records = lastRecords(o.units);
        const QString sha =
            QString::fromLatin1(QCryptographicHash::hash(rom, QCryptographicHash::Sha256).toHex());

        ASSERT_EQ(runs.size(), static_cast<std::size_t>(n));
        // TORVIK_SHOW=1 prints each unit's faults and outcome, to see what the benches cover.
        if (qEnvironmentVariableIsSet("TORVIK_SHOW"))
            for (const device::UnitRun& run : runs)
                std::printf("%s %d %s | %s\n", newType ? "new" : "old", run.code,
                            qPrintable(plans.at(run.port).what), qPrintable(run.outcome));
        int delivered = 0;
        for (const device::UnitRun& run : runs) {
            const auto& reader = readers.at(run.port);
            const th::InProcessReader::Took took = reader->took();
            const bool wholeImage =
                took.image.size() >= static_cast<std::size_t>(image.size()) &&
                std::equal(image.begin(), image.end(), took.image.begin(),
                           [](char a, uint8_t c) { return static_cast<uint8_t>(a) == c; });
            // The reader took the firmware when it holds every byte and said so whole: old-type
            // by its answer to the end frame, new-type by its request for block 999.
            const bool tookIt =
                wholeImage && (newType ? took.lastBlockAsked : took.endFrameAnswered);
            const qint64 bytesTaken =
                std::min<qint64>(qint64(took.blocksTaken) * blockData, image.size());
            delivered += tookIt;
            const std::string why =
                QStringLiteral("seed %1, bench %2, %3 (%4): %5 -> %6, code %7")
                    .arg(seed)
                    .arg(b)
                    .arg(run.port, plans.at(run.port).what,
                         heard.lines[run.port].join(QStringLiteral(" | ")), run.outcome)
                    .arg(run.code)
                    .toStdString();
            // No false success, no false failure, and the bytes the reader took.
            ASSERT_EQ(run.code == device::kOk, tookIt) << why;
            ASSERT_EQ(run.bytesAccepted, bytesTaken) << why;
            ASSERT_EQ(run.imageBytes, imageBytes) << why;
            ASSERT_EQ(run.outcome.startsWith(QStringLiteral("Firmware delivered")), tookIt) << why;
            // Seven failures in a row: no end frame, the reader waits in its boot loader, and
            // its record says so.
            if (plans.at(run.port).what.startsWith(QStringLiteral("seven")) && !took.lineCut) {
                ASSERT_FALSE(tookIt) << why;
                ASSERT_TRUE(took.inBootLoader) << why;
                // It took the seven packets and nothing after them (new-type: and PROG, when
                // the failures came after it).
                const bool progTaken = newType && took.packets > 7;
                ASSERT_EQ(took.packets, took.blocksTaken + 7 + (progTaken ? 1 : 0)) << why;
                ASSERT_TRUE(run.outcome.contains(QStringLiteral("waits in its boot loader")))
                    << why;
            }
            // A line cut before the run was over is said as such, never as the reader's doing.
            if (took.lineCut && !tookIt) {
                ASSERT_TRUE(run.outcome.startsWith(
                    QStringLiteral("Not delivered: the port went away during the run")))
                    << why;
            }
            // The end event and the record say the same.
            ASSERT_EQ(heard.starts[run.port], 1) << why;
            ASSERT_EQ(heard.ends.count(run.port), 1u) << why;
            const device::UnitRun& ended = heard.ends.find(run.port)->second;
            ASSERT_EQ(ended.code, run.code) << why;
            ASSERT_EQ(ended.outcome, run.outcome) << why;
            ASSERT_EQ(ended.bytesAccepted, run.bytesAccepted) << why;
            ASSERT_TRUE(records.count(run.port)) << why;
            const QJsonObject& rec = records.at(run.port);
            ASSERT_EQ(rec.value("exitCode").toInt(), run.code) << why;
            ASSERT_EQ(rec.value("outcome").toString(), run.outcome) << why;
            ASSERT_EQ(rec.value("bytesAccepted").toInteger(-1), run.bytesAccepted) << why;
            ASSERT_EQ(rec.value("sha256").toString(), sha) << why;
            ASSERT_EQ(rec.value("firmwareAfter").isString(), tookIt) << why;
        }
        const device::BenchTotals t = device::totals(runs);
        ASSERT_EQ(t.done, delivered) << "seed " << seed << ", bench " << b;
        ASSERT_EQ(t.failed, n - delivered) << "seed " << seed << ", bench " << b;
        ASSERT_GE(delivered, 1) << "the clean reader; seed " << seed << ", bench " << b;
        *unitsRun += n;
    }
}

class BenchUnderFaults : public ::testing::Test {
protected:
    void SetUp() override { device::setPauser(noPause); }
    void TearDown() override { device::setPauser(nullptr); }
};

TEST_F(BenchUnderFaults, EveryUnitSaysWhatItsReaderTook) {
    // TORVIK_SEED repeats a run; otherwise a new seed each time, printed with any failure.
    const QByteArray given = qgetenv("TORVIK_SEED");
    const uint32_t seed = given.isEmpty() ? std::random_device{}() : given.toUInt();
    const int benches = qEnvironmentVariableIsSet("TORVIK_BENCHES")
                            ? qEnvironmentVariableIntValue("TORVIK_BENCHES")
                            : 150;
    int units = 0, faults = 0;
    benchesUnderFaults(seed, benches, &units, &faults);
    std::printf("seed %u: %d benches, %d readers, %d faults\n", seed, benches, units, faults);
}

// The bench at the most the simulator starts: 64 readers at once, and 32.
TEST_F(BenchUnderFaults, SixtyFourAndThirtyTwoReadersAtOnce) {
    const uint32_t seed = std::random_device{}();
    int units = 0, faults = 0;
    benchesUnderFaults(seed, 3, &units, &faults, 64);
    benchesUnderFaults(seed + 1, 3, &units, &faults, 32);
    EXPECT_EQ(units, 3 * 64 + 3 * 32);
}

}  // namespace

int main(int argc, char** argv) {
    // Backups of the readers' settings go to a folder of the run's own.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

namespace {

// Every exit code a unit or a run ends with has its words, and the manual's EXIT STATUS names
// each code once, in the table's order.
TEST(ExitCodes, EachCodeHasItsWordsAndItsParagraphInTheManual) {
    const int codes[] = {device::kOk,           device::kFailed,       device::kUsage,
                         device::kPortUnusable, device::kInBootLoader, device::kOutputFailed,
                         device::kSomeFailed,   device::kStopped,      device::kHangUp,
                         device::kInterrupted,  device::kTerminated};
    const QString manual = device::manualExitStatus();
    qsizetype at = 0;
    for (int code : codes) {
        SCOPED_TRACE(code);
        const auto row = std::find_if(device::exitCodes().begin(), device::exitCodes().end(),
                                      [&](const device::ExitRow& r) { return r.code == code; });
        ASSERT_NE(row, device::exitCodes().end());
        EXPECT_EQ(device::exitReason(code), QString::fromLatin1(row->reason));
        const qsizetype found =
            manual.indexOf(QRegularExpression(QStringLiteral("\\.BR? [^\\n]*\\b%1\\b").arg(code)));
        EXPECT_GE(found, at);
        at = found;
    }
    EXPECT_EQ(manual.count(QStringLiteral(".TP\n")), 9);
}

}  // namespace
