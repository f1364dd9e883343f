#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
// "Write param" and "Factory Settings" against the emulated reader.

#include <QString>
#include <bit>

#include "device/param_block.h"
#include "tests/support/json_schema.h"
#include "tests/support/read_param.h"

namespace {

using th::hex;

const QString kNotSelected = QStringLiteral("\u0421\u041E\u041C port is not selected");

TEST(OpenTime, ConvertsMillisecondsToUnitsOf100) {
    const std::pair<const char*, uint16_t> cases[] = {
        {"1000", 10},       {"150", 1},     {"50", 1},        {"0", 1},
        {"6553500", 65535}, {"6553600", 1}, {"-100", 0xFFFF}, {"-250", 0xFFFE},
    };
    for (const auto& [text, units] : cases) {
        const auto t = device::openTimeUnits(QString::fromLatin1(text));
        ASSERT_TRUE(t.has_value()) << text;
        EXPECT_EQ(*t, units) << text;
    }
    for (const char* bad : {"", "abc", "10.5", "1e3", "99999999999"})
        EXPECT_FALSE(device::openTimeUnits(QString::fromLatin1(bad)).has_value()) << bad;
}

// The settings table's bits against blocks written out by hand: every setting set, then each one
// alone, for a model of each write form; and a block read back gives the settings written.
TEST(SettingRows, EachSettingLandsOnItsBitsForEachWriteForm) {
    device::OutputSettings all;
    all.protocol = 6;
    all.protocol2 = 1;
    all.typecode = 2;
    all.cbRestrictTm = all.cbHidAnalisis = all.cbReverseCode = all.cbWgParityNo = true;
    all.cbLock = all.cbPolLock = all.cbRs485_232 = all.cbPulseOnlyTm = all.cbBcc7Uid = true;
    all.openTimeMs = 300;
    const device::ParamBlock base{0x81, 0xFF, 0xFF, 0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA};
    struct Case {
        uint8_t model;
        device::ParamBlock block;  // all over base
    };
    const Case cases[] = {
        // The short form of the full bits: bytes 1 to 3.
        {0,
         {0x81, 0x06 | 0x08 | 0x40 | 0x80, 0x01 | 0x04 | 0x08 | 0x10, 0x02 | 0x04, 0xEE, 0xDD, 0xCC,
          0xBB, 0xAA}},
        {4, {0x81, 0xCE, 0x1D, 0x06, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA}},
        // The short block's models: no lock, reverse, parity, code type or conversion; size Hid.
        {6, {0x81, 0x06 | 0x08, 0x01 | 0x02 | 0x10, 0x00, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA}},
        {10, {0x81, 0x0E, 0x13, 0x00, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA}},
        // The long form: bytes 1 to 7, the open time in 100 ms at 5 and 6, 4 and 7 cleared.
        {13, {0x81, 0xCE, 0x1D, 0x06, 0x00, 0x03, 0x00, 0x00, 0xAA}},
        {15, {0x81, 0xCE, 0x1D, 0x06, 0x00, 0x03, 0x00, 0x00, 0xAA}},
    };
    for (const Case& c : cases) {
        const device::ModelRow& m = device::model(c.model);
        EXPECT_EQ(hex(device::writtenBlock(m, all, 3, base).data(), 9), hex(c.block.data(), 9))
            << int(c.model);
        // One setting alone touches its own bits, where the model's write carries it.
        for (const device::SettingRow& r : device::kSettings) {
            device::OutputSettings one;
            r.set(one, 1);
            const bool time = r.shows == device::Shows::Milliseconds;
            const device::ParamBlock b = device::writtenBlock(m, one, time ? 3 : 0);
            int touched = 0;
            for (std::size_t i = 1; i < 8; ++i)
                touched += std::popcount(static_cast<unsigned>(b[i]));
            EXPECT_EQ(touched > 0, r.carriedBy(m)) << int(c.model) << " " << r.name;
            if (r.carriedBy(m) && !time) {
                EXPECT_EQ(r.value(device::decodeParamBlock(b.data()).settings), 1)
                    << int(c.model) << " " << r.name;
            }
        }
    }
    device::OutputSettings undefined;
    undefined.protocol = 255;
    undefined.protocol2 = 2;
    undefined.cbPulseOnlyTm = true;
    const device::ParamBlock b = device::writtenBlock(device::model(0), undefined, 1);
    EXPECT_EQ(b[1], 0x07 | 0x18);
    EXPECT_EQ(device::decodeParamBlock(b.data()).settings.protocol, device::kProtocolUndefined);
}

class WriteParam : public th::ReaderOnCom3 {
protected:
    // "Read param" of this reader, then "Write param"; returns the write's log lines.
    void readAs(uint8_t v0, uint8_t v1, uint8_t model, std::array<uint8_t, 9> params) {
        setVersion(v0, v1, 1, model);
        setParams(params);
        readParam();
    }
    QStringList writeParam() { return press(form.btWriteParam); }
    std::string sent() const { return hex(com3.reader.received()); }
};

constexpr std::array<uint8_t, 9> kWiegand26{0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0, 0};

TEST_F(WriteParam, Model4ShortFormWithEveryBoxClear) {
    readAs(1, 0, 4, kWiegand26);
    EXPECT_EQ(writeParam(), QStringList{"OK"});
    EXPECT_EQ(sent(), "02 0B 09 1C 01 00 00 33 00");
}

TEST_F(WriteParam, Model13LongFormWithLockAndOneSecond) {
    readAs(1, 0, 13, {0x00, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    ASSERT_EQ(form.edTimeOpen->text(), QStringLiteral("1000"));
    EXPECT_EQ(writeParam(), QStringList{"OK"});
    EXPECT_EQ(sent(), "02 0B 0D 1C 41 00 00 00 0A 00 00 81 00");
}

TEST_F(WriteParam, OpenTimeTextsOnTheLongForm) {
    readAs(1, 0, 14, kWiegand26);
    const std::pair<const char*, const char*> cases[] = {
        {"150", "01 00"},     {"50", "01 00"},   {"6553500", "FF FF"},
        {"6553600", "01 00"}, {"-100", "FF FF"}, {"1000", "0A 00"},
    };
    for (const auto& [text, t] : cases) {
        form.edTimeOpen->setText(QString::fromLatin1(text));
        writeParam();
        const th::Bytes f = com3.reader.received();
        ASSERT_EQ(f.size(), 13u) << text;
        EXPECT_EQ(hex(th::Bytes(f.begin() + 8, f.begin() + 10)), t) << text;
        EXPECT_TRUE(TForm1::chkCRCusb16(f.data())) << text;
    }
}

TEST_F(WriteParam, TextThatIsNoNumberStopsTheWriteEvenWhereTheTimeIsNotSent) {
    readAs(1, 0, 0, kWiegand26);
    form.edTimeOpen->setText(QStringLiteral("ten"));
    EXPECT_TRUE(writeParam().isEmpty());
    EXPECT_TRUE(com3.reader.received().empty());
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].text, QStringLiteral("'ten' is not a valid integer value"));
    // Models that never carry the open time do not convert it.
    readAs(3, 0, 6, kWiegand26);
    form.edTimeOpen->setText(QStringLiteral("ten"));
    EXPECT_EQ(writeParam(), QStringList{"OK"});
    EXPECT_EQ(catcher.boxes.size(), 1u);
}

TEST_F(WriteParam, SizeHidIsWrittenOnlyForModels6_7_10_11_12) {
    for (uint8_t model : {2, 6, 7, 10, 11, 12}) {
        readAs(7, 0, model, kWiegand26);
        form.cbHidAnalisis->setChecked(true);
        form.protocol = 1;  // models 10 to 12 read no parameters
        writeParam();
        const th::Bytes f = com3.reader.received();
        ASSERT_EQ(f.size(), 9u) << int(model);
        EXPECT_EQ(f[5] & 0x02, model == 2 ? 0 : 0x02) << int(model);
    }
}

TEST_F(WriteParam, PulseOnlyTmSetsBit3OnTopOfTheSecondProtocol) {
    readAs(23, 0, 4, {0x00, 0x11, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    ASSERT_TRUE(shown(form.cbPulseOnlyTm));
    ASSERT_EQ(form.protocol2, 2);
    form.cbPulseOnlyTm->setChecked(true);
    writeParam();
    EXPECT_EQ(sent(), "02 0B 09 1C 19 00 00 4B 00");
    // Hidden, it does not count.
    readAs(1, 0, 4, {0x00, 0x11, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    form.cbPulseOnlyTm->setChecked(true);
    writeParam();
    EXPECT_EQ(com3.reader.received()[4], 0x11);
}

TEST_F(WriteParam, UndefinedProtocolIsSentAsSeven) {
    readAs(1, 0, 13, {0x00, 0x47, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    ASSERT_EQ(form.protocol, 255);
    writeParam();
    EXPECT_EQ(com3.reader.received()[4], 0x47);
}

TEST_F(WriteParam, ReadParamShowsBackWhatWasWrittenInTheShortForm) {
    readAs(11, 0, 2, kWiegand26);
    th::chooseEntry(form.cbTypeProt, "Wiegand 42");
    th::chooseEntry(form.cbTypeProt2, "Wiegand");
    th::chooseEntry(form.cobTypeCode, "RdAll format");
    form.cbRestrictTm->setChecked(true);
    form.cbReverseCode->setChecked(true);
    form.cbWgParityNo->setChecked(true);
    form.cbLock->setChecked(true);
    form.cbBcc7Uid->setChecked(true);
    EXPECT_EQ(writeParam(), QStringList{"OK"});
    EXPECT_EQ(sent(), "02 0B 09 1C 5B 0D 05 9F 00");

    form.FormDestroy();
    TForm1 fresh;
    ASSERT_TRUE(th::pickPort(fresh, "COM3"));
    fresh.btVersion->click();
    EXPECT_EQ(fresh.cbTypeProt->currentText(), QStringLiteral("Wiegand 40"));
    EXPECT_TRUE(fresh.cbWgParityNo->isChecked());
    EXPECT_EQ(fresh.cbTypeProt2->currentText(), QStringLiteral("Wiegand"));
    EXPECT_EQ(fresh.cobTypeCode->currentText(), QStringLiteral("RdAll format"));
    EXPECT_TRUE(fresh.cbRestrictTm->isChecked());
    EXPECT_TRUE(fresh.cbReverseCode->isChecked());
    EXPECT_TRUE(fresh.cbLock->isChecked());
    EXPECT_TRUE(fresh.cbBcc7Uid->isChecked());
    EXPECT_FALSE(fresh.cbPolLock->isChecked());
}

TEST_F(WriteParam, ReadParamShowsBackWhatWasWrittenInTheLongForm) {
    readAs(1, 0, 15, kWiegand26);
    th::chooseEntry(form.cbTypeProt, "Wiegand 58");
    th::chooseEntry(form.cbTypeProt2, "------");
    form.cbRs485_232->setChecked(true);
    form.cbPolLock->setChecked(true);
    form.edTimeOpen->setText(QStringLiteral("2500"));
    EXPECT_EQ(writeParam(), QStringList{"OK"});
    const QStringList lines = readParam();
    EXPECT_TRUE(lines.contains("PARAM  190000109500")) << lines.join('|').toStdString();
    EXPECT_EQ(form.cbTypeProt->currentText(), QStringLiteral("Wiegand 58"));
    EXPECT_EQ(form.cbTypeProt2->currentText(), QStringLiteral("------"));
    EXPECT_TRUE(form.cbRs485_232->isChecked());
    EXPECT_TRUE(form.cbPolLock->isChecked());
    EXPECT_EQ(form.edTimeOpen->text(), QStringLiteral("2500"));
    // The mode byte is never written.
    EXPECT_EQ(com3.reader.state().params[0], 0x00);
}

TEST_F(WriteParam, VerdictsRefusalAndLostReply) {
    readAs(1, 0, 4, kWiegand26);
    com3.reader.script(emu::Action::withStatus(0x01));
    EXPECT_EQ(writeParam(), QStringList{"NO OK"});
    // The reader accepted nothing it refused.
    EXPECT_EQ(com3.reader.state().params[1], 0x01);
    com3.reader.script(emu::Action::cut(5));
    EXPECT_EQ(writeParam(), QStringList{"ERROR CS"});
    com3.reader.script(emu::Action::wrongSum());
    EXPECT_EQ(writeParam(), QStringList{"ERROR CS"});
    // Nothing else changes, and nothing is read back.
    EXPECT_EQ(com3.reader.requests().size(), 1u);
    EXPECT_TRUE(form.btWriteParam->isEnabled());
}

TEST_F(WriteParam, RefusalsBeforeAnyExchangeSendNothing) {
    // A reader identified once, then lost: the button stays enabled, the model is gone.
    readAs(1, 0, 4, kWiegand26);
    com3.reader.script(emu::Action::wrongSum());
    readParam();
    ASSERT_EQ(form.Device, 255);
    ASSERT_TRUE(form.btWriteParam->isEnabled());
    EXPECT_EQ(writeParam(), QStringList{"Device is not known"});
    EXPECT_TRUE(com3.reader.received().empty());

    th::LinkedReader com4{4};
    TForm1 other;
    other.btWriteParam->setEnabled(true);
    other.btWriteParam->click();
    EXPECT_EQ(th::logLines(other), QStringList{kNotSelected});
    EXPECT_TRUE(com4.reader.received().empty());
}

TEST(FactorySettings, WithoutAPortLogsThreeLinesAndSendsNothing) {
    th::LinkedReader com4{4};
    TForm1 form;
    form.protocol = 3;
    form.protocol2 = 2;
    form.typecode = 1;
    form.btFactorySettings->click();
    EXPECT_EQ(th::logLines(form), (QStringList{"Factory settings", "Avto", "Direct transmission"}));
    EXPECT_EQ(form.protocol, 0);
    EXPECT_EQ(form.protocol2, 0);
    EXPECT_EQ(form.typecode, 0);
    EXPECT_EQ(form.cbTypeProt->currentIndex(), 0);
    EXPECT_EQ(form.cbTypeProt2->currentIndex(), 0);
    EXPECT_EQ(form.cobTypeCode->currentIndex(), 0);
    EXPECT_TRUE(com4.reader.received().empty());
}

TEST_F(WriteParam, FactorySettingsOnModel7LogsAnEmptyLineForItsEmptyList) {
    readAs(3, 0, 7, {0x00, 0x0B, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    form.cbRestrictTm->setChecked(true);
    const int before = static_cast<int>(th::logLines(form).size());
    form.btFactorySettings->click();
    EXPECT_EQ(th::logLines(form).mid(before),
              (QStringList{"Factory settings", "", "Direct transmission"}));
    EXPECT_EQ(form.protocol2, 0);
    EXPECT_TRUE(form.cbRestrictTm->isChecked());
    EXPECT_EQ(writeParam(), QStringList{"OK"});
    EXPECT_EQ(sent(), "02 0B 09 1C 00 01 00 33 00");
}

// "Save settings..." in one window, "Load settings..." in a fresh one after "Read param" of
// another reader of the model: "Write param" sends what the first reader's settings give.
TEST(SettingsInTheWindow, SavedSettingsLoadedIntoAnotherReaderWriteTheSameRequest) {
    th::LinkedReader first{3};
    th::LinkedReader second{4};
    th::setModel(first.reader, 13, {0x00, 0xC2, 0x05, 0x02, 0x00, 0x0F, 0x00, 0x00, 0x00});
    th::setModel(second.reader, 13, {0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    QTemporaryDir dir;
    const QString file = dir.filePath("site.json");
    th::ModalCatcher catcher;
    std::string expected;
    {
        TForm1 form;
        EXPECT_FALSE(form.saveSettings(file));  // nothing read yet
        ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
        form.btVersion->click();
        first.reader.waitUntilQuiet();
        ASSERT_TRUE(form.saveSettings(file));
        EXPECT_EQ(th::schemaErrors("settings-file.schema.json", file), "");
        EXPECT_EQ(form.pnlState->text(), QStringLiteral("Settings saved to %1").arg(file));
        first.reader.clearReceived();
        form.btWriteParam->click();
        first.reader.waitUntilQuiet();
        expected = th::hex(first.reader.requests().back());
    }
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM4")));
    EXPECT_FALSE(form.loadSettings(file));  // no reader known yet
    form.btVersion->click();
    second.reader.waitUntilQuiet();
    const int lines = static_cast<int>(th::logLines(form).size());
    second.reader.clearReceived();
    ASSERT_TRUE(form.loadSettings(file)) << form.pnlState->text().toStdString();
    EXPECT_EQ(th::logLines(form).size(), lines) << "loading logged a line";
    EXPECT_TRUE(second.reader.received().empty()) << "loading wrote to the reader";
    EXPECT_TRUE(form.cbLock->isChecked());
    EXPECT_EQ(form.edTimeOpen->text(), QStringLiteral("1500"));
    form.btWriteParam->click();
    second.reader.waitUntilQuiet();
    EXPECT_EQ(th::hex(second.reader.requests().back()), expected);

    // Another model's file: refused, with the reason in the status panel.
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray json = f.readAll();
    f.close();
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(json.replace("\"code\": 13", "\"code\": 4"));
    f.close();
    EXPECT_FALSE(form.loadSettings(file));
    EXPECT_TRUE(
        form.pnlState->text().contains("holds the settings of model 4, the reader is model 13"))
        << form.pnlState->text().toStdString();
}

}  // namespace
