// The bench window on simulated readers: four readers, one whose boot loader refuses every
// block; Start, the table against the record file and each reader's saved image; Retry failed
// after the refusing reader is replaced; Stop mid-run; the main window kept off the bench's
// ports; and a table redrawn at most ten times a second.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>
#include <memory>

#include <gtest/gtest.h>

#include "device/bench.h"
#include "firmware/image.h"
#include "shell/bench_window.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"
#include "tests/support/json_schema.h"
#include "tests/support/sim_process.h"

namespace {

using th::Sim;

// The COM names a simulator took, in its banner's order.
QStringList simPorts(Sim& sim, int count) {
    QStringList ports;
    QElapsedTimer t;
    t.start();
    while (ports.size() < count && t.elapsed() < 10000) {
        ports.clear();
        const QRegularExpression on(QStringLiteral(" on (COM\\d+)\\n"));
        for (auto it = on.globalMatch(sim.output()); it.hasNext();) ports << it.next().captured(1);
    }
    return ports;
}

// Lets the window work until done() or the time is up.
bool until(const std::function<bool()>& done, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return done();
}

std::vector<QJsonObject> records(const QString& path) {
    std::vector<QJsonObject> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return out;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty()) out.push_back(QJsonDocument::fromJson(line).object());
    return out;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

// A firmware file for the simulator's model 15: `blocks` new-type blocks and the length trailer.
QString makeRom(const QTemporaryDir& dir, int blocks) {
    const QString rom = dir.filePath("fw.rom");
    const int made = QProcess::execute(
        TORVIK_SIM_PATH, {"--make-rom", rom, "--model", "15", "--blocks", QString::number(blocks)});
    return made == 0 ? rom : QString();
}

// The window as a picture, where TORVIK_SHOTS names a folder for them.
void shot(QWidget* w, const char* name) {
    const QString folder = qEnvironmentVariable("TORVIK_SHOTS");
    if (!folder.isEmpty()) w->grab().save(folder + '/' + name + QStringLiteral(".png"));
}

TEST(BenchWindow, FourReadersStartRetryFailedStopAndTheMainWindowKeptOff) {
    QTemporaryDir dir;
    const QString rom = makeRom(dir, 8);
    ASSERT_FALSE(rom.isEmpty());
    const firmware::ImageLoad image = firmware::loadImage(rom);
    ASSERT_TRUE(image.ok);

    // Three good readers and one whose boot loader takes no block.
    const QStringList reader{"--blocks", "8"};
    Sim good(reader + QStringList{"--count", "3", "--save-image", dir.filePath("got.rom")});
    const QStringList goodPorts = simPorts(good, 3);
    ASSERT_EQ(goodPorts.size(), 3);
    auto refusing = std::make_unique<Sim>(
        reader + QStringList{"--stall", "--save-image", dir.filePath("stall.rom")});
    const QString bad = refusing->comName();
    ASSERT_FALSE(bad.isEmpty());
    const QStringList all = goodPorts + QStringList{bad};

    TForm1 form;
    // The main window has the first reader open: Start takes it over.
    ASSERT_TRUE(th::pickPort(form, goodPorts[0]));
    BenchWindow* bench = form.showBench();
    EXPECT_EQ(bench->windowTitle(), "Bench of readers");
    EXPECT_TRUE(form.cbCom->toolTip().contains("\"Bench of readers...\" (Ctrl+Shift+B"));
    bench->refreshRows();
    for (const QString& port : all) {
        ASSERT_GE(bench->rowOf(port), 0) << port.toStdString();
        EXPECT_FALSE(bench->ticked(port));  // a new row is never ticked
    }
    bench->btTickAll->click();
    for (const QString& port : all) EXPECT_TRUE(bench->ticked(port));
    bench->btTickNone->click();
    for (const QString& port : bench->rowPorts()) EXPECT_FALSE(bench->ticked(port));
    for (const QString& port : all) bench->setTicked(port, true);

    // No file chosen: nothing starts and nothing is held.
    bench->cbJob->setCurrentIndex(int(device::UnitJob::Program));
    EXPECT_FALSE(bench->start());
    EXPECT_TRUE(bench->lbState->text().startsWith("Not started: "));
    EXPECT_FALSE(bench->holds(all[0]));

    const QString units = dir.filePath("units.jsonl");
    bench->setRecordFile(units);
    bench->setImageFile(rom);
    bench->stallTimeoutS = 2;
    const int drawsBefore = bench->draws();
    QElapsedTimer running;
    running.start();
    ASSERT_TRUE(bench->start());
    EXPECT_FALSE(bench->btStart->isEnabled());
    EXPECT_TRUE(bench->btStop->isEnabled());
    EXPECT_FALSE(bench->btRetryFailed->isEnabled());
    // The main window starts nothing on a port the bench holds, and says why.
    for (const QString& port : all) EXPECT_TRUE(bench->holds(port));
    form.btVersionClick();
    EXPECT_EQ(th::logLines(form).last(),
              goodPorts[0] + " is held by the bench of readers: its run there must end first");
    shot(bench, "bench-running");
    ASSERT_TRUE(until([&] { return !bench->running(); })) << [&] {
        std::string logs;
        for (const QString& port : all) logs += bench->rowLog(port).toStdString() + "\n";
        return logs;
    }();
    // At most ten redraws a second, however many lines the four readers sent (and one more at
    // the end of the run).
    EXPECT_LE(bench->draws() - drawsBefore, running.elapsed() / BenchWindow::kDrawMs + 2);
    shot(bench, "bench-done");

    // The table, the record and each reader's image tell the same story.
    const std::vector<QJsonObject> first = records(units);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(th::schemaErrors("units.schema.json", units), QString());
    for (const QJsonObject& r : first) {
        const QString port = r["port"].toString();
        EXPECT_EQ(r["command"].toString(), "program");
        EXPECT_EQ(r["sha256"].toString(), image.sha256);
        EXPECT_EQ(r["exitCode"].toInt(), bench->rowCode(port));
        EXPECT_EQ(r["outcome"].toString(), bench->cellText(port, BenchWindow::kColOutcome));
        EXPECT_EQ(r["firmwareBefore"].toString(), bench->cellText(port, BenchWindow::kColBefore));
        EXPECT_EQ(bench->cellText(port, BenchWindow::kColModel), "15 Torvik-N3");
        if (port == bad) {
            EXPECT_EQ(r["exitCode"].toInt(), int(device::kFailed));
            EXPECT_EQ(bench->cellText(port, BenchWindow::kColStep), "failed");
            EXPECT_TRUE(
                r["outcome"].toString().startsWith("Stopped: the boot loader took no "
                                                   "packet for 2 s; 0 of "))
                << r["outcome"].toString().toStdString();
        } else {
            EXPECT_EQ(r["exitCode"].toInt(), 0);
            // The boot loader asks for its eight blocks of 262 bytes: the image but its trailer.
            EXPECT_EQ(r["bytesAccepted"].toInteger(), 8 * 262);
            EXPECT_EQ(bench->cellText(port, BenchWindow::kColAfter), "1.7.1");
            EXPECT_EQ(bench->cellText(port, BenchWindow::kColProgress), "100");
            EXPECT_EQ(fileBytes(dir.filePath("got-" + port + ".rom")), image.image.left(8 * 262))
                << port.toStdString();
        }
    }
    EXPECT_EQ(bench->lbTotals->text(),
              "4 units: 3 done, 3 delivered, 1 failed (1 refused, no answer or not delivered)");
    EXPECT_TRUE(bench->btRetryFailed->isEnabled());
    // The port is the main window's again.
    EXPECT_FALSE(bench->holds(goodPorts[0]));
    form.btVersionClick();
    EXPECT_TRUE(th::logLines(form).contains("VERSION  15.1.7.1"));
    // Each row keeps its reader's log and the trace of its port.
    EXPECT_TRUE(bench->rowLog(bad).contains("Stopped: the boot loader took no packet"));
    EXPECT_TRUE(bench->rowTrace(goodPorts[1]).contains(" " + goodPorts[1] + " "));
    const QString support = dir.filePath("support.txt");
    ASSERT_TRUE(bench->saveSupportRecord(goodPorts[1], support));
    EXPECT_TRUE(fileBytes(support).contains("Log of " + goodPorts[1].toUtf8() + " on the bench"));

    // The refusing reader is replaced: Retry failed runs on its row, and on no other.
    refusing.reset();
    ASSERT_TRUE(until([&] { return bench->rowOf(bad) < 0; }, 5000));  // gone from the table
    Sim replaced(reader + QStringList{"--com", bad, "--save-image", dir.filePath("new.rom")});
    ASSERT_EQ(replaced.comName(), bad);
    // Back, unticked, with what its last unit came to.
    ASSERT_TRUE(until([&] { return bench->rowOf(bad) >= 0; }, 5000));
    EXPECT_FALSE(bench->ticked(bad));
    EXPECT_EQ(bench->rowCode(bad), int(device::kFailed));
    EXPECT_TRUE(bench->cellText(bad, BenchWindow::kColOutcome).startsWith("Stopped: "));
    EXPECT_TRUE(bench->rowLog(bad).contains("Stopped: the boot loader took no packet"));
    const QString goodTime = bench->cellText(goodPorts[2], BenchWindow::kColTime);
    ASSERT_TRUE(bench->retryFailed());
    ASSERT_TRUE(until([&] { return !bench->running(); }));
    const std::vector<QJsonObject> second = records(units);
    ASSERT_EQ(second.size(), 5u);
    EXPECT_EQ(second.back()["port"].toString(), bad);
    EXPECT_EQ(second.back()["exitCode"].toInt(), 0);
    EXPECT_EQ(fileBytes(dir.filePath("new.rom")), image.image.left(8 * 262));
    EXPECT_EQ(bench->cellText(goodPorts[2], BenchWindow::kColTime), goodTime);
    EXPECT_FALSE(bench->btRetryFailed->isEnabled());
    EXPECT_FALSE(bench->retryFailed());
    bench->setTicked(bad, true);
    EXPECT_EQ(bench->lbState->text(), "No row failed: nothing to retry");

    // Stop mid-run: every reader gets its end frame, and no row is said to have succeeded.
    good.output();
    replaced.output();
    const qsizetype goodSeen = good.out.size(), replacedSeen = replaced.out.size();
    ASSERT_TRUE(bench->start());
    ASSERT_TRUE(until([&] {
        for (const QString& port : all)
            if (bench->cellText(port, BenchWindow::kColProgress).toInt() == 0) return false;
        return true;
    }));
    // What each reader is shows while it runs.
    for (const QString& port : all)
        EXPECT_EQ(bench->cellText(port, BenchWindow::kColModel), "15 Torvik-N3");
    shot(bench, "bench-stopping");
    bench->btStop->click();
    ASSERT_TRUE(until([&] { return !bench->running(); }));
    EXPECT_EQ(bench->lbState->text(), "Stopped");
    for (const QString& port : all) {
        EXPECT_EQ(bench->rowCode(port), int(device::kStopped)) << port.toStdString();
        EXPECT_TRUE(bench->cellText(port, BenchWindow::kColOutcome).startsWith("Stopped"))
            << bench->cellText(port, BenchWindow::kColOutcome).toStdString();
    }
    ASSERT_TRUE(
        until([&] { return good.output().mid(goodSeen).count("boot: end frame") >= 3; }, 5000));
    EXPECT_EQ(replaced.output().mid(replacedSeen).count("boot: end frame"), 1);
    EXPECT_TRUE(bench->lbTotals->text().contains(", 4 stopped"))
        << bench->lbTotals->text().toStdString();
    // Retry failed takes the stopped ones too: they did not succeed.
    EXPECT_TRUE(bench->btRetryFailed->isEnabled());
}

}  // namespace

namespace {

// The other jobs: the backup of each reader, a settings file restored where the model fits and
// refused where it does not, the restore followed by a programming run; one reader at once and a
// Stop that leaves the next one unstarted; the watch that takes a reader as it is plugged in; and
// the main window closed mid-run.
TEST(BenchWindow, BackupRestoreOnTheRightModelOnlyRestoreThenProgramAndTheWatch) {
    QTemporaryDir dir;
    const QString rom = makeRom(dir, 4);
    ASSERT_FALSE(rom.isEmpty());
    Sim n3({"--blocks", "4", "--mode", "reader"}), m2({"--model", "4"});
    const QString a = n3.comName(), b = m2.comName();
    ASSERT_FALSE(a.isEmpty());
    ASSERT_FALSE(b.isEmpty());
    TForm1 form;
    BenchWindow* bench = form.showBench();
    bench->refreshRows();
    const QString units = dir.filePath("units.jsonl");
    bench->setRecordFile(units);
    bench->setTicked(a, true);
    bench->setTicked(b, true);
    auto run = [&] {
        if (!bench->start()) return false;
        return until([&] { return !bench->running(); });
    };

    bench->cbJob->setCurrentIndex(int(device::UnitJob::Backup));
    ASSERT_TRUE(run());
    std::vector<QJsonObject> r = records(units);
    ASSERT_EQ(r.size(), 2u);
    QString settings;
    for (const QJsonObject& o : r) {
        EXPECT_EQ(o["command"].toString(), "backup");
        EXPECT_EQ(o["exitCode"].toInt(), 0);
        EXPECT_TRUE(QFile::exists(o["backup"].toString()));
        if (o["port"].toString() == a) settings = o["backup"].toString();
    }
    ASSERT_FALSE(settings.isEmpty());

    // The file of a model 15 onto both: the model 4 is refused before anything is written.
    bench->cbJob->setCurrentIndex(int(device::UnitJob::Restore));
    bench->setSettingsFile(settings);
    ASSERT_TRUE(run());
    EXPECT_EQ(bench->rowCode(a), 0);
    EXPECT_EQ(bench->rowCode(b), int(device::kUsage));
    EXPECT_EQ(bench->cellText(b, BenchWindow::kColOutcome),
              "refused: the file is for a model 15 (Torvik-N3)");
    EXPECT_TRUE(
        bench->rowLog(b).contains("holds the settings of a model 15 (Torvik-N3), and "
                                  "this reader is a model 4 (QLN-M2): nothing written"));

    // The settings, then the firmware, on the model 15 alone.
    bench->setTicked(b, false);
    bench->cbJob->setCurrentIndex(int(device::UnitJob::RestoreProgram));
    bench->setImageFile(rom);
    ASSERT_TRUE(run());
    r = records(units);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r.back()["command"].toString(), "restore+program");
    EXPECT_EQ(r.back()["exitCode"].toInt(), 0);
    EXPECT_EQ(r.back()["firmwareAfter"].toString(), "1.7.1");
    EXPECT_EQ(r.back()["settings"].toObject()["file"].toString(), settings);
    EXPECT_EQ(th::schemaErrors("units.schema.json", units), QString());
    const QString log = bench->rowLog(a);
    EXPECT_LT(log.lastIndexOf("--- "), log.lastIndexOf("passed 0 block"));

    // One reader at once, and Stop while the first runs: the second is never started.
    bench->setTicked(b, true);
    bench->edAtOnce->setValue(1);
    bench->cbJob->setCurrentIndex(int(device::UnitJob::Program));
    const QString first = bench->rowOf(a) < bench->rowOf(b) ? a : b;
    const QString second = first == a ? b : a;
    ASSERT_TRUE(bench->start());
    ASSERT_TRUE(
        until([&] { return bench->cellText(first, BenchWindow::kColProgress).toInt() > 0; }));
    EXPECT_EQ(bench->cellText(second, BenchWindow::kColStep), "waiting for its turn");
    bench->stop();
    ASSERT_TRUE(until([&] { return !bench->running(); }));
    EXPECT_EQ(bench->rowCode(first), int(device::kStopped));
    EXPECT_EQ(bench->rowCode(second), int(device::kStopped));
    EXPECT_EQ(bench->cellText(second, BenchWindow::kColOutcome),
              "not started: the bench was stopped before its turn");
    EXPECT_EQ(records(units).size(), 6u);  // the first reader's unit alone
    bench->edAtOnce->setValue(0);
    // Three units before on the model 15, two on the other, and the stopped one on the first:
    // its row keeps the last two's logs, the newest last.
    EXPECT_EQ(bench->rowUnits(first), (first == a ? 3 : 2) + 1);
    EXPECT_EQ(bench->rowUnits(second), second == a ? 3 : 2);
    const QStringList kept = bench->rowLog(first).split('\n').filter(QRegularExpression("^--- "));
    EXPECT_EQ(kept.size(), 2);
    EXPECT_TRUE(kept.last().endsWith(" program ---")) << kept.join('\n').toStdString();

    // The watch: nothing ticked, a reader plugged in is read once and said done.
    bench->btTickNone->click();
    bench->cbJob->setCurrentIndex(int(device::UnitJob::Backup));
    bench->cbWatch->setChecked(true);
    ASSERT_TRUE(bench->start());
    Sim plugged({});
    const QString c = plugged.comName();
    ASSERT_FALSE(c.isEmpty());
    EXPECT_TRUE(until(
        [&] { return bench->rowLog(c).contains("done (succeeded): you may unplug it"); }, 20000))
        << bench->rowLog(c).toStdString();
    EXPECT_TRUE(bench->holds(c));
    shot(bench, "bench-watch");
    bench->btStop->click();
    ASSERT_TRUE(until([&] { return !bench->running(); }));
    EXPECT_FALSE(bench->holds(c));
    EXPECT_EQ(records(units).back()["port"].toString(), c);

    // The main window closed mid-run closes the bench, and the reader gets its end frame.
    bench->cbWatch->setChecked(false);
    bench->setTicked(a, true);
    bench->cbJob->setCurrentIndex(int(device::UnitJob::Program));
    n3.output();
    const qsizetype seen = n3.out.size();
    ASSERT_TRUE(bench->start());
    ASSERT_TRUE(until([&] { return bench->cellText(a, BenchWindow::kColProgress).toInt() > 0; }));
    form.close();
    EXPECT_FALSE(bench->running());
    EXPECT_FALSE(bench->isVisible());
    EXPECT_TRUE(until([&] { return n3.output().mid(seen).contains("boot: end frame"); }, 5000));
}

}  // namespace
