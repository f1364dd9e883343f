// One reader's settings onto another, through both fronts: torvik-cli backup and restore, and the
// window's Save settings, Load settings and Write param. Both judge a file alike and write the
// same request, and a clone reads as the reader it was made from.

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <random>

#include <gtest/gtest.h>

#include "device/settings.h"
#include "device/settings_file.h"
#include "shell/cli.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"

namespace {

using Block = std::array<uint8_t, 9>;

QJsonObject jsonOf(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return QJsonDocument::fromJson(f.readAll()).object();
}

void writeJson(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

// The last request of the reader with this command, in hex; empty when there was none.
std::string lastRequest(emu::PtyReader& r, uint8_t command) {
    r.waitUntilQuiet();
    std::string found;
    for (const auto& f : r.requests())
        if (f.size() > 3 && f[3] == command) found = th::hex(f);
    return found;
}

// The reader set as the issue found them: model 13, firmware 1.7.1, the first with "Wiegand 34",
// "restriction TM", "Wiegand without parity" (a box model 13 does not show) and bit 2 of byte 3.
constexpr Block kFirst{0x01, 0x02, 0x09, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00};
constexpr Block kSecond{0x01, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
// What the first reader's own "Write param" makes of its block.
constexpr Block kFirstAsWritten{0x01, 0x02, 0x09, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};

TEST(Clone, BackupAndRestoreAndTheWindowsSaveAndLoadBothMakeTheFirstReadersBlock) {
    th::LinkedReader first{5};
    th::LinkedReader second{6};
    th::setModel(first.reader, 13, kFirst);
    th::setModel(second.reader, 13, kSecond);
    QTemporaryDir dir;
    const QString cliFile = dir.filePath("cli.json");
    const QString windowFile = dir.filePath("window.json");
    th::ModalCatcher catcher;

    // torvik-cli: backup of the first, restore onto the second.
    ASSERT_EQ(th::runCli({"--port", "COM5", "backup", cliFile}).exitCode, cli::kOk);
    const th::CliRun restored = th::runCli({"--port", "COM6", "restore", cliFile});
    EXPECT_EQ(restored.exitCode, cli::kOk) << restored.err.toStdString();
    second.reader.waitUntilQuiet();
    EXPECT_EQ(th::hex(second.reader.state().params.data(), 9), th::hex(kFirstAsWritten.data(), 9));
    const QJsonObject a =
        QJsonDocument::fromJson(th::runCli({"--port", "COM5", "read", "--json"}).out.toUtf8())
            .object();
    const QJsonObject b =
        QJsonDocument::fromJson(th::runCli({"--port", "COM6", "read", "--json"}).out.toUtf8())
            .object();
    EXPECT_EQ(a["settings"], b["settings"]);

    // The window: Read param of the first, Save settings; the file says what backup's says.
    th::setModel(second.reader, 13, kSecond);
    {
        TForm1 form;
        ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM5")));
        form.btVersion->click();
        first.reader.waitUntilQuiet();
        ASSERT_TRUE(form.saveSettings(windowFile)) << form.pnlState->text().toStdString();
        EXPECT_EQ(th::schemaErrors("settings-file.schema.json", windowFile), "");
    }
    EXPECT_EQ(jsonOf(windowFile)["settings"], jsonOf(cliFile)["settings"]);
    EXPECT_EQ(jsonOf(windowFile)["filters"], jsonOf(cliFile)["filters"]);

    // Read param of the second, Load settings, Write param: the first one's block again.
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM6")));
    form.btVersion->click();
    second.reader.waitUntilQuiet();
    ASSERT_TRUE(form.loadSettings(windowFile)) << form.pnlState->text().toStdString();
    form.btWriteParam->click();
    second.reader.waitUntilQuiet();
    EXPECT_EQ(th::hex(second.reader.state().params.data(), 9), th::hex(kFirstAsWritten.data(), 9));
}

// Files put onto readers of each model, through the window's Load settings and through restore:
// the same verdict, and where the file is applied the same parameter write.
struct Reader {
    uint8_t model;
    Block block;
};

class LoadAndRestore : public ::testing::TestWithParam<uint8_t> {};

TEST_P(LoadAndRestore, GiveTheSameVerdictAndTheSameWriteRequest) {
    const uint8_t model = GetParam();
    // Two starting states a reader of the model may be in, and a third that the files come from.
    const Block states[] = {
        {0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00},
        {0x00, 0xD3, 0x1D, 0x07, 0x00, 0x2C, 0x01, 0x00, 0x00},
    };
    const Block source{0x01, 0x8A, 0x0F, 0x06, 0x00, 0x0F, 0x00, 0x00, 0x00};
    // A box this model never shows: carried by its write (and so applied) or not (a record).
    const char* hidden = model == 13 ? "cbWgParityNo" : model == 15 ? "cbHidAnalisis" : "cbLock";

    th::LinkedReader win{3};
    th::LinkedReader cli{4};
    QTemporaryDir dir;
    th::ModalCatcher catcher;
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));

    // The template: a backup of a reader of the model in the third state.
    const QString base = dir.filePath("base.json");
    th::setModel(cli.reader, model, source);
    ASSERT_EQ(th::runCli({"--port", "COM4", "backup", base}).exitCode, cli::kOk);
    QFile baseFile(base);
    ASSERT_TRUE(baseFile.open(QIODevice::ReadOnly));
    const QByteArray json = baseFile.readAll();
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    auto variant = [&](auto change) {
        QJsonObject v = o;
        change(v);
        return QJsonDocument(v).toJson();
    };
    auto setting = [&](const char* key, QJsonValue value) {
        return variant([&](QJsonObject& v) {
            QJsonObject s = v["settings"].toObject();
            s[key] = value;
            v["settings"] = s;
        });
    };
    const std::pair<const char*, QByteArray> files[] = {
        {"same model, set otherwise", json},
        {"another model", variant([&](QJsonObject& v) {
             QJsonObject m = v["model"].toObject();
             m["code"] = model == 4 ? 1 : 4;
             v["model"] = m;
         })},
        {"open time off the step", setting("openTimeMs", 1550)},
        {"open time of 0", setting("openTimeMs", 0)},
        {"filters the rules hold back", variant([&](QJsonObject& v) {
             QJsonObject f;
             for (const device::FilterKey& k : device::kFilterKeys) f[k.name] = false;
             f["cbFilter1"] = f["cbFilter2"] = true;
             v["filters"] = f;
         })},
        {"a box the model never shows", setting(hidden, true)},
        {"a truncated file", json.left(json.size() / 2)},
    };

    int applied = 0, refused = 0;
    for (const Block& start : states) {
        for (const auto& [what, content] : files) {
            SCOPED_TRACE(::testing::Message() << "model " << int(model) << ", block "
                                              << th::hex(start.data(), 9) << ": " << what);
            const QString file = dir.filePath("file.json");
            writeJson(file, content);
            th::setModel(win.reader, model, start);
            th::setModel(cli.reader, model, start);
            win.reader.clearReceived();
            cli.reader.clearReceived();

            form.btVersion->click();
            win.reader.waitUntilQuiet();
            const bool loaded = form.loadSettings(file);
            const QString panel = form.pnlState->text();
            if (loaded) form.btWriteParam->click();
            const std::string windowWrite = lastRequest(win.reader, emu::cmd::kWriteParams);

            const th::CliRun r = th::runCli({"--port", "COM4", "restore", file});
            const std::string cliWrite = lastRequest(cli.reader, emu::cmd::kWriteParams);
            EXPECT_EQ(loaded, r.exitCode == cli::kOk)
                << "window: " << panel.toStdString() << "\ncli: " << r.err.toStdString();
            EXPECT_EQ(windowWrite, cliWrite);
            EXPECT_EQ(loaded, !windowWrite.empty());
            // Refused for values the reader cannot take: both name the same ones.
            const qsizetype at = panel.indexOf(QStringLiteral("cannot take "));
            if (at >= 0) {
                const QString names = panel.mid(at + 12);
                EXPECT_TRUE(r.err.contains(names + QStringLiteral(": nothing written")))
                    << "window: " << panel.toStdString() << "\ncli: " << r.err.toStdString();
            }
            (loaded ? applied : refused)++;
        }
    }
    // Each reader takes the template and refuses another model's file and a cut one.
    EXPECT_GE(applied, 2);
    EXPECT_GE(refused, 4);
}

// The window draws a configuration it did not read: random settings files of the reader's model
// and firmware, loaded, show each setting in its control as the settings table says (a list's
// entry, a box shown with its state, the open time), and Write param sends the request of the
// configuration the file made.
TEST(WindowDrawsAConfiguration, ItDidNotReadFromRandomFilesOfTheModel) {
    std::mt19937 rng(20261211u);
    th::LinkedReader win{3};
    th::LinkedReader cli{4};
    th::ModalCatcher catcher;
    QTemporaryDir dir;
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
    for (uint8_t model : {1, 4, 6, 13, 15}) {
        for (int k = 0; k < 8; ++k) {
            SCOPED_TRACE(::testing::Message() << "model " << int(model) << ", file " << k);
            Block start{0x01};
            for (std::size_t i = 1; i < start.size(); ++i) start[i] = static_cast<uint8_t>(rng());
            th::setModel(win.reader, model, start);
            form.btVersion->click();
            win.reader.waitUntilQuiet();
            // The file: what the reader holds, with random values of every setting its write
            // carries.
            const QString path = dir.filePath("random.json");
            ASSERT_TRUE(form.saveSettings(path));
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
            f.close();
            QJsonObject settings = o["settings"].toObject();
            for (const device::SettingRow& r : device::kSettings) {
                if (!r.member) continue;
                settings[r.key] = rng() % 2 == 1;
            }
            settings["protocol"] = int(rng() % 5);
            settings["protocol2"] = int(rng() % 2);
            settings["typecode"] = int(rng() % 4);
            settings["openTimeMs"] = int(1 + rng() % 600) * 100;
            o["settings"] = settings;
            writeJson(path, QJsonDocument(o).toJson());

            win.reader.clearReceived();
            QString error;
            const auto file = device::readSettingsFile(path, &error);
            ASSERT_TRUE(file) << error.toStdString();
            ASSERT_TRUE(form.loadSettings(path)) << form.pnlState->text().toStdString();
            const device::ModelRow& m = device::model(model);
            const auto boxes = form.optionBoxes();
            for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i) {
                const device::SettingRow& r = device::kOptionKeys[i];
                if (!boxes[i]->isHidden() && r.carriedBy(m)) {
                    EXPECT_EQ(boxes[i]->isChecked(), file->settings.*r.member) << r.name;
                }
            }
            EXPECT_EQ(form.cbTypeProt->currentIndex(), file->settings.protocol);
            EXPECT_EQ(form.cbTypeProt2->currentIndex(),
                      form.cbTypeProt2->count() ? file->settings.protocol2 : -1);
            if (m.fullBits) {
                EXPECT_EQ(form.cobTypeCode->currentIndex(), file->settings.typecode);
            }
            if (m.longWrite) {
                EXPECT_EQ(form.edTimeOpen->text(), QString::number(file->settings.openTimeMs));
            }
            form.btWriteParam->click();
            const std::string sent = lastRequest(win.reader, emu::cmd::kWriteParams);
            // What restore writes for the same file on a reader in the same state.
            th::setModel(cli.reader, model, start);
            cli.reader.clearReceived();
            const th::CliRun r = th::runCli({"--port", "COM4", "restore", path});
            EXPECT_EQ(r.exitCode, cli::kOk) << r.err.toStdString();
            EXPECT_EQ(sent, lastRequest(cli.reader, emu::cmd::kWriteParams));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLayout, LoadAndRestore, ::testing::Values(1, 4, 6, 13, 15),
                         [](const auto& info) { return "Model" + std::to_string(info.param); });

}  // namespace
