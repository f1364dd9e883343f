// Comparing readers by the names of their settings: torvik-cli diff of ports and files, on one
// port or several, and the window's "Compare with file...".

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "shell/cli.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"

namespace {

using th::CliRun;
using th::runCli;

constexpr std::array<uint8_t, 9> kBlock{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};

// The lines of a diff between its two headers and its last line: one a setting.
QStringList body(const CliRun& r) {
    QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    return lines.mid(2, lines.size() - 3);
}

class Diff : public ::testing::Test {
protected:
    void SetUp() override {
        th::setModel(com3.reader, 13, kBlock);
        th::setModel(com4.reader, 13, kBlock);
        // The second reader set otherwise in three settings.
        ASSERT_EQ(runCli({"--port", "COM4", "write", "--protocol", "2", "--set", "cbLock=0",
                          "--open-time", "1500"})
                      .exitCode,
                  cli::kOk);
    }
    th::LinkedReader com3{3};
    th::LinkedReader com4{4};
    QTemporaryDir dir;
};

const QStringList kThree{
    "Output protocol",
    "  Type protocol (cbTypeProt): A \"Wiegand 26\", B \"Wiegand 34\"",
    "  Lock (cbLock): A ticked, B unticked",
    "  Time open mSec (edTimeOpen): A 1000 ms, B 1500 ms",
};

TEST_F(Diff, TwoReadersShowTheirThreeSettingsInTheWindowsWordsAndNoneOnceCloned) {
    const CliRun r = runCli({"diff", "COM3", "COM4"});
    EXPECT_EQ(r.exitCode, cli::kFailed) << r.err.toStdString();
    EXPECT_EQ(body(r), kThree) << r.out.toStdString();
    EXPECT_TRUE(r.out.startsWith("A: COM3, model 13 (QLN-N2), firmware 1.7.1\nB: COM4, model 13"));
    // --port P diff FILE is diff P FILE.
    const QString a = dir.filePath("a.json");
    ASSERT_EQ(runCli({"--port", "COM3", "backup", a}).exitCode, cli::kOk);
    const CliRun viaPort = runCli({"--port", "COM4", "diff", a});
    EXPECT_EQ(viaPort.exitCode, cli::kFailed);
    EXPECT_EQ(body(viaPort).size(), 4);

    ASSERT_EQ(runCli({"--port", "COM4", "restore", a}).exitCode, cli::kOk);
    const CliRun same = runCli({"diff", "COM3", "COM4"});
    EXPECT_EQ(same.exitCode, cli::kOk) << same.out.toStdString();
    EXPECT_TRUE(same.out.endsWith("No differences\n")) << same.out.toStdString();
    EXPECT_TRUE(body(same).isEmpty());
}

TEST_F(Diff, FilesOpenNoPortAndSayWhatTheirReadersSay) {
    const QString a = dir.filePath("a.json"), b = dir.filePath("b.json");
    ASSERT_EQ(runCli({"--port", "COM3", "backup", a}).exitCode, cli::kOk);
    ASSERT_EQ(runCli({"--port", "COM4", "backup", b}).exitCode, cli::kOk);
    com3.reader.waitUntilQuiet();
    com4.reader.waitUntilQuiet();
    com3.reader.clearReceived();
    com4.reader.clearReceived();
    const CliRun files = runCli({"diff", a, b});
    EXPECT_EQ(files.exitCode, cli::kFailed);
    EXPECT_EQ(body(files), kThree);
    EXPECT_TRUE(com3.reader.received().empty() && com4.reader.received().empty());

    // The same in JSON.
    const CliRun json = runCli({"diff", a, b, "--json"});
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_FALSE(o["same"].toBool());
    const QJsonArray d = o["differences"].toArray();
    ASSERT_EQ(d.size(), 3);
    EXPECT_EQ(d[1].toObject()["setting"], "cbLock");
    EXPECT_EQ(d[1].toObject()["a"], "ticked");
    EXPECT_EQ(d[1].toObject()["b"], "unticked");

    // Another model: a difference that names both, and the settings both carry compared.
    th::setModel(com3.reader, 4, kBlock);
    const QString m4 = dir.filePath("m4.json");
    ASSERT_EQ(runCli({"--port", "COM3", "backup", m4}).exitCode, cli::kOk);
    const CliRun models = runCli({"diff", b, m4});
    EXPECT_EQ(models.exitCode, cli::kFailed);
    EXPECT_TRUE(models.out.contains("The models differ: A is model 13, B is model 4"))
        << models.out.toStdString();
    EXPECT_TRUE(
        models.out.contains("  Type protocol (cbTypeProt): A \"Wiegand 34\", B \"Wiegand 26\""));
    EXPECT_TRUE(models.out.contains("Not carried by B's model: Time open mSec (edTimeOpen)"));

    // Refusals: an unreadable file, and arguments that do not say what to compare.
    EXPECT_EQ(runCli({"diff", a, dir.filePath("none.json")}).exitCode, cli::kUsage);
    EXPECT_EQ(cli::parseArguments({"diff", "a.json"}).error,
              "diff takes A and B, or --port and one of them");
    EXPECT_EQ(cli::parseArguments({"--port", "COM3", "diff", "a.json", "b.json"}).error,
              "diff takes A and B, or --port and one of them");
}

TEST_F(Diff, SeveralPortsAgainstOneFileSayWhichReadersMatch) {
    const QString a = dir.filePath("a.json");
    ASSERT_EQ(runCli({"--port", "COM3", "backup", a}).exitCode, cli::kOk);
    const CliRun r = runCli({"--port", "COM3,COM4", "diff", a});
    EXPECT_EQ(r.exitCode, cli::kFailed) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("COM4:   Lock (cbLock): A unticked, B ticked"))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QRegularExpression("\nCOM3 .* the same as ")));
    EXPECT_TRUE(r.out.contains(QRegularExpression("\nCOM4 .* 3 difference\\(s\\) from ")));
    ASSERT_EQ(runCli({"--port", "COM4", "restore", a}).exitCode, cli::kOk);
    EXPECT_EQ(runCli({"--port", "COM3,COM4", "diff", a}).exitCode, cli::kOk);
}

TEST(CompareWithFile, TheDialogNamesTheBoxThatDiffersAndNothingChanges) {
    th::LinkedReader com3{3};
    th::setModel(com3.reader, 13, kBlock);
    QTemporaryDir dir;
    th::ModalCatcher catcher;
    TForm1 form;
    const QString file = dir.filePath("site.json");
    EXPECT_FALSE(form.compareWithFile(file));
    EXPECT_EQ(form.pnlState->text(), "Compare with file: press Read param first");
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
    form.btVersion->click();
    com3.reader.waitUntilQuiet();
    ASSERT_TRUE(form.saveSettings(file));
    EXPECT_EQ(th::schemaErrors("settings-file.schema.json", file), "");
    // The file differs in one box.
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    f.close();
    QJsonObject s = o["settings"].toObject();
    s["cbLock"] = false;
    o["settings"] = s;
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QJsonDocument(o).toJson());
    f.close();

    const QStringList log = th::logLines(form);
    const bool lock = form.cbLock->isChecked();
    com3.reader.clearReceived();
    QStringList rows;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        if (auto* table = dialog->findChild<QTableWidget*>("differences"))
            for (int r = 0; r < table->rowCount(); ++r)
                rows << table->item(r, 0)->text() + " | " + table->item(r, 1)->text() + " | " +
                            table->item(r, 2)->text();
        dialog->close();
    });
    const auto c = form.compareWithFile(file);
    ASSERT_TRUE(c);
    EXPECT_EQ(rows, QStringList{"Output protocol: Lock (cbLock) | ticked | unticked"});
    EXPECT_EQ(th::logLines(form), log);
    EXPECT_EQ(form.cbLock->isChecked(), lock);
    EXPECT_TRUE(com3.reader.received().empty());

    // The reader's own file: "No differences".
    ASSERT_TRUE(form.saveSettings(file));
    EXPECT_EQ(th::schemaErrors("settings-file.schema.json", file), "");
    QString said;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        for (QLabel* l : dialog->findChildren<QLabel*>()) said += l->text() + '\n';
        dialog->close();
    });
    ASSERT_TRUE(form.compareWithFile(file));
    EXPECT_TRUE(said.contains("No differences")) << said.toStdString();
}

}  // namespace
