// A settings file put onto a reader only as far as the user says: the window's "Load settings"
// dialog of what would change, ticked and unticked, and torvik-cli's restore --dry-run, --only
// and --except on the same reader and file.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "shell/cli.h"
#include "shell/load_dialog.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"

namespace {

using th::runCli;

// Model 13: "Wiegand 26", Lock ticked, the door open 1000 ms.
constexpr std::array<uint8_t, 9> kBlock{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};

std::string lastWrite(emu::PtyReader& r) {
    r.waitUntilQuiet();
    std::string found;
    for (const auto& f : r.requests())
        if (f.size() > 3 && f[3] == emu::cmd::kWriteParams) found = th::hex(f);
    return found;
}

std::vector<std::string> requests(emu::PtyReader& r) {
    r.waitUntilQuiet();
    std::vector<std::string> all;
    for (const auto& f : r.requests()) all.push_back(th::hex(f));
    return all;
}

// The file's settings (or filters) changed: a JSON edit, as a user's or another program's. What
// the section held before.
QJsonObject edit(const QString& path, const QJsonObject& changes,
                 const QString& section = QStringLiteral("settings")) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    f.close();
    const QJsonObject before = o[section].toObject();
    QJsonObject s = before;
    for (auto it = changes.begin(); it != changes.end(); ++it) s[it.key()] = it.value();
    o[section] = s;
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QJsonDocument(o).toJson());
    return before;
}

// The dialog as the user sees it: a line a row, "[x]" ticked, "[-]" greyed.
QStringList rowsOf(const QTableWidget* t) {
    QStringList rows;
    for (int r = 0; t && r < t->rowCount(); ++r) {
        const QTableWidgetItem* first = t->item(r, 0);
        QString line = first->flags() & Qt::ItemIsEnabled
                           ? (first->checkState() == Qt::Checked ? "[x] " : "[ ] ")
                           : "[-] ";
        for (int c = 0; c < t->columnCount(); ++c) line += (c ? " | " : "") + t->item(r, c)->text();
        rows << line;
    }
    return rows;
}

// The picture of the dialog, where TORVIK_SHOTS names a folder for it.
void shot(QWidget* w, const char* name) {
    const QString folder = qEnvironmentVariable("TORVIK_SHOTS");
    if (!folder.isEmpty()) w->grab().save(folder + '/' + name + QStringLiteral(".png"));
}

// Answers the next Load settings dialog with act, after noting what it showed.
struct Answer {
    QStringList rows, record;
    QString warnings;
    bool applyEnabled = false;
    bool seen = false;
};
void answerNextDialog(Answer* a, const std::function<void(LoadSettingsDialog*)>& act,
                      const char* shotName = nullptr) {
    QTimer::singleShot(0, [a, act, shotName] {
        auto* d = dynamic_cast<LoadSettingsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr) << "no Load settings dialog";
        a->seen = true;
        a->rows = rowsOf(d->changes);
        a->record = rowsOf(d->record);
        a->warnings = d->warnings ? d->warnings->text() : QString();
        a->applyEnabled = d->apply && d->apply->isEnabled();
        if (shotName) shot(d, shotName);
        act(d);
    });
}

class LoadReview : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* r : {&com3, &com4, &com5}) th::setModel(r->reader, 13, kBlock);
        file = dir.filePath("site.json");
        ASSERT_EQ(runCli({"--port", "COM5", "backup", file}).exitCode, cli::kOk);
        // Three differences, the open time one the reader cannot take.
        edit(file, {{"protocol", 2}, {"cbLock", false}, {"openTimeMs", 50}});
        // What a write of "Wiegand 34" alone sends.
        ASSERT_EQ(runCli({"--port", "COM5", "write", "--protocol", "2"}).exitCode, cli::kOk);
        protocolOnly = lastWrite(com5.reader);
        ASSERT_FALSE(protocolOnly.empty());
        th::setModel(com5.reader, 13, kBlock);
        com5.reader.clearReceived();
    }
    th::LinkedReader com3{3};
    th::LinkedReader com4{4};
    th::LinkedReader com5{5};
    QTemporaryDir dir;
    QString file;
    std::string protocolOnly;
};

const QStringList kRows{
    "[x] Output protocol: Type protocol (cbTypeProt) | \"Wiegand 26\" | \"Wiegand 34\" | ",
    "[x] Output protocol: Lock (cbLock) | ticked | unticked | ",
    "[-] Output protocol: Time open mSec (edTimeOpen) | 1000 ms | 50 ms | cannot take it: the "
    "reader's shortest open time is 100 ms",
};

TEST_F(LoadReview, TheDialogTicksWhatTheReaderTakesAndWriteParamSendsOnlyTheTicked) {
    th::ModalCatcher catcher;
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
    form.btVersion->click();
    com3.reader.waitUntilQuiet();
    com3.reader.clearReceived();

    // Cancel: nothing changes.
    Answer cancelled;
    answerNextDialog(
        &cancelled, [](LoadSettingsDialog* d) { d->reject(); }, "load-settings");
    EXPECT_FALSE(form.reviewSettings(file));
    ASSERT_TRUE(cancelled.seen);
    EXPECT_EQ(cancelled.rows, kRows);
    EXPECT_TRUE(cancelled.applyEnabled);
    EXPECT_EQ(cancelled.warnings, "");
    EXPECT_EQ(form.cbTypeProt->currentText(), "Wiegand 26");

    // Lock unticked: it stays as the reader has it; the protocol alone goes into the controls.
    Answer applied;
    answerNextDialog(&applied, [](LoadSettingsDialog* d) {
        d->changes->item(1, 0)->setCheckState(Qt::Unchecked);
        d->apply->click();
    });
    ASSERT_TRUE(form.reviewSettings(file)) << form.pnlState->text().toStdString();
    EXPECT_EQ(form.cbTypeProt->currentText(), "Wiegand 34");
    EXPECT_TRUE(form.cbLock->isChecked());
    EXPECT_EQ(form.edTimeOpen->text(), "1000");
    EXPECT_EQ(form.pnlState->text(),
              QStringLiteral("Settings loaded from %1 (1 of 3 ticked): Write param writes them")
                  .arg(file));
    EXPECT_TRUE(requests(com3.reader).empty()) << "loading wrote to the reader";
    form.btWriteParam->click();
    EXPECT_EQ(lastWrite(com3.reader), protocolOnly);

    // Nothing ticked: "Apply ticked" is not offered.
    Answer none;
    answerNextDialog(&none, [](LoadSettingsDialog* d) {
        d->changes->item(0, 0)->setCheckState(Qt::Unchecked);
        EXPECT_EQ(d->tickedCount(), 0);
        EXPECT_FALSE(d->apply->isEnabled());
        d->reject();
    });
    form.btVersion->click();
    com3.reader.waitUntilQuiet();
    EXPECT_FALSE(form.reviewSettings(file));

    // A file of what the window holds: no differences, and nothing to apply.
    const QString same = dir.filePath("same.json");
    ASSERT_TRUE(form.saveSettings(same));
    Answer nothing;
    answerNextDialog(&nothing, [](LoadSettingsDialog* d) {
        EXPECT_EQ(d->apply, nullptr);
        EXPECT_EQ(d->changes, nullptr);
        d->accept();
    });
    EXPECT_FALSE(form.reviewSettings(same));
    EXPECT_TRUE(nothing.seen);
    EXPECT_TRUE(catcher.boxes.empty());
}

TEST_F(LoadReview, TheFilterModesTwoBoxesAreTickedTogether) {
    // Model 15 reads its filters and writes them whole. The file runs Filter 2; the reader
    // Filter 1.
    th::setModel(com3.reader, 15, kBlock);
    th::setModel(com5.reader, 15, kBlock);
    ASSERT_EQ(runCli({"--port", "COM5", "backup", file}).exitCode, cli::kOk);
    ASSERT_TRUE(
        edit(file, {{"cbFilter1", false}, {"cbFilter2", true}}, "filters")["cbFilter1"].toBool());

    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
    form.btVersion->click();
    com3.reader.waitUntilQuiet();
    Answer a;
    answerNextDialog(&a, [](LoadSettingsDialog* d) {
        const int rows = d->changes->rowCount();
        ASSERT_EQ(rows, 2);
        d->changes->item(rows - 1, 0)->setCheckState(Qt::Unchecked);            // Filter 2
        EXPECT_EQ(d->changes->item(rows - 2, 0)->checkState(), Qt::Unchecked);  // Filter 1
        d->changes->item(rows - 2, 0)->setCheckState(Qt::Checked);
        EXPECT_EQ(d->changes->item(rows - 1, 0)->checkState(), Qt::Checked);
        d->apply->click();
    });
    ASSERT_TRUE(form.reviewSettings(file));
    EXPECT_EQ(a.rows, (QStringList{"[x] Filters: Filter 1 (cbFilter1) | ticked | unticked | ",
                                   "[x] Filters: Filter 2 (cbFilter2) | unticked | ticked | "}));
    EXPECT_FALSE(form.cbFilter1->isChecked());
    EXPECT_TRUE(form.cbFilter2->isChecked());
}

TEST_F(LoadReview, RestoreDryRunOnlyAndExceptSendWhatTheyNameAndNoMore) {
    const QString head = QStringLiteral(
                             "A: COM4, model 13 (QLN-N2), firmware 1.7.1\n"
                             "B: %1, model 13 (QLN-N2), firmware 1.7.1\n"
                             "Output protocol\n"
                             "  Type protocol (cbTypeProt): A \"Wiegand 26\", B \"Wiegand 34\"\n"
                             "  Lock (cbLock): A ticked, B unticked\n")
                             .arg(file);
    // The dry run reads, as "read" does, and writes nothing.
    ASSERT_EQ(runCli({"--port", "COM4", "read"}).exitCode, cli::kOk);
    const std::vector<std::string> reads = requests(com4.reader);
    com4.reader.clearReceived();
    th::CliRun r = runCli({"--port", "COM4", "restore", file, "--dry-run"});
    EXPECT_EQ(r.exitCode, cli::kUsage) << "restore would refuse it";
    EXPECT_EQ(r.out, head +
                         "  Time open mSec (edTimeOpen): A 1000 ms, B 50 ms: this reader cannot "
                         "take it (the reader's shortest open time is 100 ms)\n"
                         "Nothing would be written: this reader cannot take what the file holds\n");
    EXPECT_TRUE(r.err.contains(
        "site.json: this reader cannot take openTimeMs 50 (the reader's shortest open time is "
        "100 ms): nothing written"))
        << r.err.toStdString();
    EXPECT_EQ(requests(com4.reader), reads);
    com4.reader.clearReceived();

    r = runCli({"--port", "COM4", "restore", file, "--dry-run", "--except", "edTimeOpen"});
    EXPECT_EQ(r.exitCode, cli::kFailed);
    EXPECT_EQ(r.out, head + "2 setting(s) would change; nothing was written\n");
    EXPECT_EQ(requests(com4.reader), reads);
    com4.reader.clearReceived();

    // Unknown names, both options, a pair split: said, and the port is not opened.
    const std::pair<QStringList, QString> refusals[] = {
        {{"--only", "cbLock,Lock,protocol"},
         "--only: no setting \"Lock\", \"protocol\" (the control names: read --json lists them)"},
        {{"--only", "cbLock", "--except", "cbLock"}, "--only and --except together"},
        {{"--except", "cbFilter2"},
         "--except: cbFilter2 goes with cbFilter1 (the reader keeps them in shared bits): name "
         "both"},
    };
    for (const auto& [options, said] : refusals) {
        r = runCli(QStringList{"--port", "COM4", "restore", file} + options);
        EXPECT_EQ(r.exitCode, cli::kUsage);
        EXPECT_TRUE(r.err.contains(said)) << r.err.toStdString();
    }
    EXPECT_TRUE(requests(com4.reader).empty());

    // --only and --except: the same write as the window's with Lock unticked.
    r = runCli({"--port", "COM4", "restore", file, "--only", "cbTypeProt"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    EXPECT_EQ(lastWrite(com4.reader), protocolOnly);
    r = runCli({"--port", "COM4", "restore", file, "--only", "cbTypeProt", "--dry-run"});
    EXPECT_EQ(r.exitCode, cli::kOk);
    EXPECT_TRUE(
        r.out.endsWith("\nB: " + file + ", model 13 (QLN-N2), firmware 1.7.1\nNo differences\n"))
        << r.out.toStdString();
    th::setModel(com4.reader, 13, kBlock);
    com4.reader.clearReceived();
    r = runCli({"--port", "COM4", "restore", file, "--except", "cbLock,edTimeOpen"});
    EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
    EXPECT_EQ(lastWrite(com4.reader), protocolOnly);

    // Several ports: each port's block as diff prints it, 1 where one would change.
    const QString units = dir.filePath("units.jsonl");
    r = runCli({"--port", "COM4,COM5", "--units", units, "restore", file, "--dry-run", "--except",
                "edTimeOpen"});
    EXPECT_EQ(r.exitCode, cli::kFailed) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("COM4:   Lock (cbLock): A ticked, B unticked\nCOM4: 1 setting(s)"))
        << r.out.toStdString();
    EXPECT_TRUE(
        r.out.contains("COM5:   Type protocol (cbTypeProt): A \"Wiegand 26\", B "
                       "\"Wiegand 34\"\nCOM5:   Lock (cbLock)"));
    EXPECT_FALSE(r.out.contains("Write"));
    EXPECT_EQ(lastWrite(com5.reader), "");
    // Their records name a dry run, which a later restore --retry-failed does not count.
    QFile records(units);
    ASSERT_TRUE(records.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = records.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    for (const QByteArray& line : lines)
        EXPECT_EQ(QJsonDocument::fromJson(line)["command"], "restore --dry-run");
    EXPECT_EQ(th::schemaErrors("units.schema.json", units), QString());
}

TEST_F(LoadReview, AFileOfAnotherModelIsSaidAboveItsRows) {
    // Model 4 writes no open time: its file's is a record there, and the rows are what both carry.
    th::setModel(com5.reader, 4, kBlock);
    const QString m4 = dir.filePath("m4.json");
    ASSERT_EQ(runCli({"--port", "COM5", "write", "--protocol", "2"}).exitCode, cli::kOk);
    ASSERT_EQ(runCli({"--port", "COM5", "backup", m4}).exitCode, cli::kOk);
    const QString said = QStringLiteral(
        "The file was saved from another model: model 4 (QLN-M2), firmware 1.7.1; this reader is "
        "model 13 (QLN-N2), firmware 1.7.1. Only the settings both carry are listed.");

    th::CliRun r = runCli({"--port", "COM4", "restore", m4, "--dry-run"});
    EXPECT_EQ(r.exitCode, cli::kUsage);
    EXPECT_TRUE(r.err.contains("holds the settings of a model 4 (QLN-M2)")) << r.err.toStdString();
    r = runCli({"--port", "COM4", "restore", m4, "--dry-run", "--allow-other-model"});
    EXPECT_EQ(r.exitCode, cli::kFailed) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("\n" + said + "\nOutput protocol\n  Type protocol (cbTypeProt)"))
        << r.out.toStdString();
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
    form.btVersion->click();
    com3.reader.waitUntilQuiet();
    EXPECT_FALSE(form.loadSettings(m4)) << "without asking, another model's file is refused";
    Answer a;
    answerNextDialog(
        &a,
        [](LoadSettingsDialog* d) {
            ASSERT_NE(d->apply, nullptr);
            d->apply->click();
        },
        "load-settings-other-model");
    ASSERT_TRUE(form.reviewSettings(m4)) << a.rows.join('\n').toStdString();
    EXPECT_EQ(a.warnings, said);
    ASSERT_FALSE(a.rows.isEmpty());
    EXPECT_EQ(a.rows.first(),
              "[x] Output protocol: Type protocol (cbTypeProt) | \"Wiegand 26\" | \"Wiegand 34\" "
              "| ");
    EXPECT_EQ(form.cbTypeProt->currentText(), "Wiegand 34");

    EXPECT_EQ(lastWrite(com4.reader), "");
}

}  // namespace
