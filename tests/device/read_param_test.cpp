// "Read param" against the emulated reader: identification, layout and parameter decode.

#include "tests/support/read_param.h"

#include <QDir>
#include <QThread>
#include "device/model_table.h"
#include "device/settings.h"
#include "device/settings_file.h"

namespace {

const QString kNotSelected = QStringLiteral("\u0421\u041E\u041C port is not selected");

// Reader mode, Wiegand 26, nothing else: no filter read follows for any model.
constexpr std::array<uint8_t, 9> kPlainParams{0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0, 0};

struct ModelCase {
    uint8_t code;
    const char* logName;  // nullptr: no "model: " line
    const char* caption;
    uint8_t device;
    int progPgm;  // 1 checked, 0 unchecked, -1 unchanged
    bool readsParams;
    bool writeEnabled;
};

const ModelCase kModels[] = {
    {0, "QLN-M1", "Device: QLN-M1", 0, 0, true, true},
    {1, "Torvik-M2", "Device: Torvik-M2", 1, 0, true, true},
    {2, "Torvik-M3", "Device: Torvik-M3", 2, 0, true, true},
    {3, "No model", "Device: unknown", 255, -1, true, false},
    {4, "QLN-M2", "Device: QLN-M2", 4, 0, true, true},
    {5, "No model", "Device: unknown", 255, -1, true, false},
    {6, "QLN-E1", "Device: QLN-E1", 6, 0, true, true},
    {7, "Torvik-E6", "Device: Torvik-E6", 7, 0, true, true},
    {8, "No model", "Device: unknown", 255, -1, true, false},
    {9, "No model", "Device: unknown", 255, -1, true, false},
    {10, "Vexa-UM", "Device: Vexa-UM", 10, 1, false, false},
    {11, "Vexa-M", "Device: Vexa-M", 11, 1, false, false},
    {12, "Vexa-UC", "Device: Vexa-UM", 12, 1, false, false},
    {13, "QLN-N2", "Device: QLN-N2", 13, 1, true, true},
    {14, "Torvik-K2", "Device: Torvik-K2", 14, 1, true, true},
    {15, "Torvik-N3", "Device: Torvik-N3", 15, 1, true, true},
    {16, "QLN-N3", "Device: QLN-N3", 16, 1, true, true},
    {17, nullptr, "Device: not detected", 255, -1, false, false},
    {200, nullptr, "Device: not detected", 255, -1, false, false},
};

class ModelTable : public th::ReaderOnCom3, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelTable, ReadParamNamesTheModelAndGoesOnAsItsRowSays) {
    const ModelCase& c = GetParam();
    setVersion(7, 1, 2, c.code);
    setParams(kPlainParams);
    // "PROG pgm" ticked the other way from what a named row sets shows which rows leave it.
    const bool progBefore = c.progPgm != 1;
    form.cbProgPgm->setChecked(progBefore);

    const QStringList lines = readParam();
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("OK"));
    EXPECT_EQ(lines[1], QStringLiteral("VERSION  %1.2.1.7").arg(c.code));
    if (c.logName) {
        ASSERT_GE(lines.size(), 3);
        EXPECT_EQ(lines[2], QStringLiteral("model: ") + c.logName);
    } else {
        EXPECT_EQ(lines.size(), 2);
    }
    EXPECT_EQ(form.lbDevice->text(), QString::fromLatin1(c.caption));
    EXPECT_EQ(form.Device, c.device);
    if (c.progPgm < 0) {
        EXPECT_EQ(form.cbProgPgm->isChecked(), progBefore);
    } else {
        EXPECT_EQ(form.cbProgPgm->isChecked(), c.progPgm == 1);
    }
    const std::vector<uint8_t> expected =
        c.readsParams ? std::vector<uint8_t>{emu::cmd::kVersion, emu::cmd::kParams}
                      : std::vector<uint8_t>{emu::cmd::kVersion};
    EXPECT_EQ(commands(), expected);
    EXPECT_EQ(form.btWriteParam->isEnabled(), c.writeEnabled);
    EXPECT_EQ(form.version32, 0x020107u);
}

INSTANTIATE_TEST_SUITE_P(EveryCode, ModelTable, ::testing::ValuesIn(kModels),
                         [](const auto& info) { return "Code" + std::to_string(info.param.code); });

TEST(ReadParamWithoutPort, HidesTheOptionBoxesAndOnlyRefuses) {
    th::LinkedReader com3{3};
    TForm1 other;
    for (QCheckBox* box : other.filterBoxes()) box->show();
    other.cbPulseOnlyTm->show();
    other.cbBcc7Uid->show();
    other.cbBcc7Uid->setChecked(true);
    other.btVersion->click();
    EXPECT_EQ(th::logLines(other), QStringList{kNotSelected});
    for (QCheckBox* box : other.filterBoxes()) EXPECT_TRUE(box->isHidden());
    EXPECT_TRUE(other.lbLocalFilter->isHidden());
    EXPECT_TRUE(other.cbPulseOnlyTm->isHidden());
    EXPECT_TRUE(other.cbBcc7Uid->isHidden());
    EXPECT_FALSE(other.cbBcc7Uid->isChecked());
    EXPECT_EQ(other.lbDevice->text(), QStringLiteral("Device: not detected"));
    EXPECT_TRUE(com3.reader.received().empty());
}

class ReadParam : public th::ReaderOnCom3 {};

TEST_F(ReadParam, QlnN2InProtectedModeLogsEveryLineInOrder) {
    setVersion(1, 7, 1, 13);
    setParams({0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    EXPECT_EQ(readParam(),
              (QStringList{"OK", "VERSION  13.1.7.1", "model: QLN-N2", "OK", "PARAM  0A0000004101",
                           "Mode: protected.", "Wiegand 26", "Direct transmission"}));
    EXPECT_EQ(th::hex(th::Bytes(com3.reader.received())),
              "02 07 07 28 00 38 00 02 07 07 2A 00 3A 00");
    EXPECT_EQ(form.Device, 13);
    EXPECT_EQ(form.version32, 0x10701u);
    EXPECT_TRUE(form.FCONNECT);
    EXPECT_TRUE(form.Fguard);
    EXPECT_FALSE(form.bRdFilter);
    EXPECT_TRUE(form.cbProgPgm->isChecked());
    EXPECT_EQ(form.protocol, 1);
    EXPECT_EQ(form.cbTypeProt->currentText(), QStringLiteral("Wiegand 26"));
    EXPECT_TRUE(form.cbLock->isChecked());
    EXPECT_FALSE(form.cbPolLock->isChecked());
    EXPECT_EQ(form.edTimeOpen->text(), QStringLiteral("1000"));
    EXPECT_TRUE(shown(form.edTimeOpen));
    EXPECT_TRUE(shown(form.lbTimeOpen));
    EXPECT_TRUE(form.btWriteParam->isEnabled());
    // Models 13 and 14 lay out the lock boxes but not the key-management label.
    EXPECT_TRUE(shown(form.cbLock));
    EXPECT_TRUE(shown(form.cbPolLock));
    EXPECT_FALSE(shown(form.lbLockInGuard));
    EXPECT_TRUE(shown(form.cbReverseCode));
    EXPECT_TRUE(shown(form.cbRestrictTm));
    EXPECT_FALSE(shown(form.cbHidAnalisis));
    EXPECT_EQ(form.cbTypeProt->count(), 6);
    EXPECT_TRUE(shown(form.btSetFilter));
    EXPECT_TRUE(shown(form.cbAvtoSetFilter));
    EXPECT_TRUE(catcher.boxes.empty());
}

TEST_F(ReadParam, Model6ShowsHidSizeFillsItsOwnSecondListAndDecodesShort) {
    setVersion(3, 0, 1, 6);
    setParams({0x01, 0x12, 0x13, 0x03, 0x00, 0x0A, 0x00, 0x00, 0x00});
    // Short decode: no "PARAM" and no "Mode" line, only the protocol name.
    EXPECT_EQ(readParam(),
              (QStringList{"OK", "VERSION  6.1.0.3", "model: QLN-E1", "OK", "Wiegand 34"}));
    EXPECT_EQ(commands(), (std::vector<uint8_t>{emu::cmd::kVersion, emu::cmd::kParams}));
    EXPECT_FALSE(form.Fguard);
    EXPECT_TRUE(shown(form.cbHidAnalisis));
    EXPECT_TRUE(form.cbHidAnalisis->isChecked());
    EXPECT_TRUE(form.cbRestrictTm->isChecked());
    EXPECT_FALSE(shown(form.btSetFilter));
    EXPECT_FALSE(shown(form.cbAvtoSetFilter));
    EXPECT_EQ(form.cbTypeProt->count(), 5);
    ASSERT_EQ(form.cbTypeProt2->count(), 4);
    EXPECT_EQ(form.cbTypeProt2->itemText(2), QStringLiteral("Rs485(232)"));
    EXPECT_EQ(form.cbTypeProt2->currentIndex(), 2);
    EXPECT_TRUE(shown(form.cbRs485_232));
    EXPECT_TRUE(form.cbRs485_232->isChecked());
    // The short decode leaves what it does not read.
    EXPECT_EQ(form.typecode, 0);
    EXPECT_FALSE(form.cbReverseCode->isChecked());
    EXPECT_TRUE(form.btWriteParam->isEnabled());
}

TEST_F(ReadParam, Model7LeavesTheSecondListEmpty) {
    setVersion(3, 0, 1, 7);
    setParams({0x01, 0x06, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    // Protocol 6 lies beyond the 5-entry list: nothing is selected and the line is empty.
    EXPECT_EQ(readParam(), (QStringList{"OK", "VERSION  7.1.0.3", "model: Torvik-E6", "OK", ""}));
    EXPECT_EQ(form.cbTypeProt2->count(), 0);
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
    EXPECT_EQ(form.protocol, 6);
    EXPECT_FALSE(shown(form.cbRs485_232));
    EXPECT_FALSE(form.Fguard);
    EXPECT_EQ(commands(), (std::vector<uint8_t>{emu::cmd::kVersion, emu::cmd::kParams}));
}

TEST_F(ReadParam, VexaReadersShowTheReducedFilterSetAndReadNoParameters) {
    // Start from boxes that differ from the defaults.
    form.cbFilter2->setChecked(true);
    form.cbCounter->setChecked(true);
    form.cbLock->setChecked(true);
    form.cbPolLock->setChecked(true);
    setVersion(1, 0, 2, 11);
    EXPECT_EQ(readParam(), (QStringList{"OK", "VERSION  11.2.0.1", "model: Vexa-M"}));
    EXPECT_EQ(commands(), std::vector<uint8_t>{emu::cmd::kVersion});
    for (QWidget* w :
         {static_cast<QWidget*>(form.cbTypeProt), static_cast<QWidget*>(form.lbTypeProt),
          static_cast<QWidget*>(form.cbHidAnalisis), static_cast<QWidget*>(form.cbRestrictTm),
          static_cast<QWidget*>(form.cbLock), static_cast<QWidget*>(form.cbPolLock),
          static_cast<QWidget*>(form.lbLockInGuard), static_cast<QWidget*>(form.edTimeOpen),
          static_cast<QWidget*>(form.lbTimeOpen)})
        EXPECT_FALSE(shown(w)) << w->metaObject()->className();
    EXPECT_FALSE(form.cbLock->isChecked());
    EXPECT_FALSE(form.cbPolLock->isChecked());
    const std::array<QCheckBox*, 6> offered{form.cbOTP1,
                                            form.cbVantis,
                                            form.cbOTP2,
                                            form.cbMPlus,
                                            form.cbAllowAllLocalFilterWork,
                                            form.cbLocalFilterEn};
    for (QCheckBox* box : form.filterBoxes()) {
        const bool isOffered = std::find(offered.begin(), offered.end(), box) != offered.end();
        EXPECT_EQ(shown(box), isOffered) << box->text().toStdString();
    }
    EXPECT_TRUE(shown(form.lbLocalFilter));
    const std::array<bool, 17> defaults{true, false, false, true,  true,  true,  true,  true, true,
                                        true, false, false, false, false, false, false, false};
    const auto boxes = form.filterBoxes();
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(boxes[i]->isChecked(), defaults[i]) << boxes[i]->text().toStdString();
    EXPECT_FALSE(form.cbFilter2Exception->isEnabled());
    EXPECT_FALSE(form.cbCounterDelete->isEnabled());
    EXPECT_TRUE(form.cbOTP2Plus->isEnabled());
    EXPECT_TRUE(shown(form.btSetFilter));
    EXPECT_FALSE(form.btWriteParam->isEnabled());
}

TEST_F(ReadParam, NoModelCodeStillReadsParametersAndDisablesWriteParam) {
    setVersion(1, 0, 2, 4);
    readParam();
    ASSERT_TRUE(form.btWriteParam->isEnabled());
    setVersion(1, 0, 2, 5);
    setParams(kPlainParams);
    const QStringList lines = readParam();
    EXPECT_EQ(lines.mid(0, 5), (QStringList{"OK", "VERSION  5.2.0.1", "model: No model", "OK",
                                            "PARAM  0A0000000100"}));
    EXPECT_EQ(form.Device, 255);
    EXPECT_FALSE(form.FCONNECT);
    EXPECT_EQ(form.cbTypeProt->count(), 5);
    EXPECT_FALSE(form.btWriteParam->isEnabled());
    EXPECT_EQ(form.lbDevice->text(), QStringLiteral("Device: unknown"));
}

struct FirmwareCase {
    uint8_t device, v0, v1;
    int entries;
    bool parity, convert, pulse;
};

const FirmwareCase kFirmware[] = {
    {0, 1, 0, 7, false, false, false}, {1, 6, 0, 5, false, false, false},
    {1, 7, 0, 6, false, false, false}, {2, 9, 0, 6, false, false, false},
    {2, 10, 0, 6, true, false, false}, {1, 11, 0, 6, true, true, false},
    {4, 0, 7, 6, false, true, true},   {4, 22, 0, 5, false, false, false},
    {4, 23, 0, 6, false, false, true}, {4, 27, 3, 6, false, false, true},
    {4, 28, 0, 6, false, true, true},
};

class FirmwareRules : public th::ReaderOnCom3,
                      public ::testing::WithParamInterface<FirmwareCase> {};

TEST_P(FirmwareRules, SizeTheProtocolListAndShowTheOptionBoxes) {
    const FirmwareCase& c = GetParam();
    form.cbWgParityNo->setChecked(true);  // the layout unchecks it where it shows it
    setVersion(c.v0, c.v1, 1, c.device);
    setParams(kPlainParams);
    readParam();
    EXPECT_EQ(form.nWiegand, c.entries);
    EXPECT_EQ(form.cbTypeProt->count(), c.entries);
    EXPECT_EQ(form.cbTypeProt->itemText(1), QStringLiteral("Wiegand 26"));
    EXPECT_EQ(shown(form.cbWgParityNo), c.parity);
    EXPECT_EQ(shown(form.cbBcc7Uid), c.convert);
    EXPECT_EQ(shown(form.cbPulseOnlyTm), c.pulse);
    if (c.parity) {
        EXPECT_FALSE(form.cbWgParityNo->isChecked());
    }
    EXPECT_FALSE(shown(form.edTimeOpen));
    EXPECT_TRUE(shown(form.cbReverseCode));
    EXPECT_FALSE(shown(form.cbHidAnalisis));
}

INSTANTIATE_TEST_SUITE_P(Boundaries, FirmwareRules, ::testing::ValuesIn(kFirmware),
                         [](const auto& info) {
                             const FirmwareCase& c = info.param;
                             return "Model" + std::to_string(c.device) + "V0_" +
                                    std::to_string(c.v0) + "V1_" + std::to_string(c.v1);
                         });

// The decode of the parameter block.

TEST_F(ReadParam, ModeTextsAndMasterKeyOnlyOnModels15And16) {
    struct Case {
        uint8_t model, b0;
        QStringList modeLines;
        bool guardLabelEnabled;
    };
    const Case cases[] = {
        {13, 0x00, {"Mode: reader."}, true},
        {13, 0x02, {"Mode: your key."}, true},
        {13, 0x05, {"Mode: not defined."}, true},
        {13, 0x80, {"Mode: reader."}, true},
        {16, 0x80, {"Mode: reader.", "Master KEY."}, false},
        {15, 0x82, {"Mode: your key.", "Master KEY."}, true},
    };
    form.FormDestroy();  // each case starts from a fresh window
    for (const Case& c : cases) {
        TForm1 fresh;
        ASSERT_TRUE(th::pickPort(fresh, "COM3"));
        setVersion(1, 0, 1, c.model);
        setParams({c.b0, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
        const int before = static_cast<int>(th::logLines(fresh).size());
        fresh.btVersion->click();
        com3.reader.waitUntilQuiet();
        const QStringList lines = th::logLines(fresh).mid(before);
        ASSERT_GE(lines.size(), 5 + c.modeLines.size());
        EXPECT_EQ(lines.mid(5, c.modeLines.size()), c.modeLines) << int(c.b0);
        EXPECT_EQ(lines[5 + c.modeLines.size()], QStringLiteral("Wiegand 26")) << int(c.b0);
        EXPECT_EQ(fresh.lbLockInGuard->isEnabled(), c.guardLabelEnabled) << int(c.b0);
        EXPECT_FALSE(fresh.Fguard);
        fresh.FormDestroy();
    }
}

TEST_F(ReadParam, ProtectedModeOnModel15WithMasterKeyReadsTheFilters) {
    setVersion(1, 0, 1, 15);
    setParams({0x81, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    const QStringList lines = readParam();
    ASSERT_GE(lines.size(), 8);
    EXPECT_EQ(lines.mid(5, 3), (QStringList{"Mode: protected.", "Master KEY.", "Wiegand 26"}));
    EXPECT_TRUE(form.Fguard);
    EXPECT_EQ(commands(),
              (std::vector<uint8_t>{emu::cmd::kVersion, emu::cmd::kParams, emu::cmd::kReadFilter}));
}

TEST_F(ReadParam, ProtectedModeReadsFiltersOnlyOnModels1_2_15_16) {
    for (uint8_t model : {0, 1, 2, 4, 13, 14, 15, 16}) {
        setVersion(1, 0, 1, model);
        setParams({0x01, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
        readParam();
        const bool reads = model == 1 || model == 2 || model == 15 || model == 16;
        EXPECT_EQ(commands().size(), reads ? 3u : 2u) << int(model);
        EXPECT_TRUE(form.Fguard) << int(model);
    }
}

TEST_F(ReadParam, UndefinedProtocolIsLoggedTwiceAndLeavesBothLists) {
    setVersion(1, 0, 1, 13);
    setParams({0x00, 0x02, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    ASSERT_EQ(form.cbTypeProt->currentIndex(), 2);
    ASSERT_EQ(form.cobTypeCode->currentIndex(), 2);
    setParams({0x00, 0x07, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x00});
    const QStringList lines = readParam();
    EXPECT_EQ(lines.mid(5), (QStringList{"Mode: reader.", "The Protocol is not defined",
                                         "The Protocol is not defined"}));
    EXPECT_EQ(form.protocol, 255);
    EXPECT_EQ(form.typecode, 1);
    // The layout rebuilt the protocol list; the decode selects nothing in either list.
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
    EXPECT_EQ(form.cobTypeCode->currentIndex(), 2);
}

TEST_F(ReadParam, SecondProtocolSerialShowsTheRs485BoxAndOneTmChecksThePulseBox) {
    setVersion(23, 0, 1, 4);  // model 4 firmware that shows "Pulse + only TM"
    setParams({0x00, 0x10, 0x10, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    EXPECT_EQ(form.cbTypeProt2->currentText(), QStringLiteral("------"));
    EXPECT_EQ(form.protocol2, 2);
    EXPECT_TRUE(shown(form.cbRs485_232));
    EXPECT_TRUE(form.cbRs485_232->isChecked());
    EXPECT_FALSE(form.cbPulseOnlyTm->isChecked());

    setParams({0x00, 0x08, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    EXPECT_EQ(form.cbTypeProt2->currentText(), QStringLiteral("One TM"));
    EXPECT_FALSE(shown(form.cbRs485_232));
    EXPECT_FALSE(form.cbRs485_232->isChecked());
    EXPECT_TRUE(form.cbPulseOnlyTm->isChecked());
}

TEST_F(ReadParam, ProtocolBeyondAFiveEntryListSelectsNothingButIsKept) {
    setVersion(6, 0, 1, 1);  // model 1 firmware with 5 entries
    setParams({0x00, 0x06, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    const QStringList lines = readParam();
    EXPECT_EQ(lines.value(6), QString());
    EXPECT_EQ(form.cbTypeProt->count(), 5);
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
    EXPECT_EQ(form.protocol, 6);
}

TEST_F(ReadParam, OpenTimeAndOptionBits) {
    setVersion(1, 0, 1, 16);
    setParams({0x00, 0xC3, 0x0F, 0x07, 0x00, 0xFF, 0xFF, 0x00, 0x00});
    readParam();
    EXPECT_EQ(form.edTimeOpen->text(), QStringLiteral("6553500"));
    EXPECT_TRUE(form.cbLock->isChecked());
    EXPECT_TRUE(form.cbPolLock->isChecked());
    EXPECT_TRUE(form.cbRestrictTm->isChecked());
    EXPECT_TRUE(form.cbHidAnalisis->isChecked());
    EXPECT_TRUE(form.cbReverseCode->isChecked());
    EXPECT_TRUE(form.cbWgParityNo->isChecked());
    EXPECT_EQ(form.typecode, 3);
    EXPECT_EQ(form.cobTypeCode->currentText(), QStringLiteral("7UID reverse"));
    // The convert box is hidden on this model: its bit is not taken.
    EXPECT_FALSE(form.cbBcc7Uid->isChecked());
    // The parity bit changed the box, so the list was rebuilt without parity, entry 3 kept.
    EXPECT_EQ(form.cbTypeProt->currentText(), QStringLiteral("Wiegand 40"));
}

TEST_F(ReadParam, ConvertBoxTakesItsBitOnlyWhereItIsShown) {
    setVersion(11, 0, 1, 2);
    setParams({0x00, 0x01, 0x00, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    EXPECT_TRUE(shown(form.cbBcc7Uid));
    EXPECT_TRUE(form.cbBcc7Uid->isChecked());
    setVersion(10, 0, 1, 2);
    readParam();
    EXPECT_FALSE(shown(form.cbBcc7Uid));
    EXPECT_FALSE(form.cbBcc7Uid->isChecked());
}

TEST_F(ReadParam, ParityBoxRebuildsTheListOnlyWhenItsStateChanges) {
    setVersion(10, 0, 1, 1);  // shows the parity box, unchecked
    setParams({0x00, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    EXPECT_FALSE(form.cbWgParityNo->isChecked());
    EXPECT_EQ(form.cbTypeProt->currentText(), QStringLiteral("Wiegand 34"));
    setParams({0x00, 0x02, 0x08, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    EXPECT_TRUE(form.cbWgParityNo->isChecked());
    EXPECT_EQ(form.cbTypeProt->itemText(2), QStringLiteral("Wiegand 32"));
    EXPECT_EQ(form.cbTypeProt->currentIndex(), 2);
    // The layout unchecks it again (a change: the list is rebuilt, then rebuilt again with
    // parity names), and the decode sets it once more from the reader's bit.
    readParam();
    EXPECT_TRUE(form.cbWgParityNo->isChecked());
    EXPECT_EQ(form.cbTypeProt->currentText(), QStringLiteral("Wiegand 32"));
}

// Failures: one line each, and what was there stays.

TEST_F(ReadParam, RefusedParameterRequestKeepsWriteParamAsItWas) {
    setVersion(1, 0, 1, 13);
    setParams({0x00, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
    readParam();
    ASSERT_TRUE(form.btWriteParam->isEnabled());
    setParams({0x00, 0x03, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00});
    com3.reader.script({emu::Action::model(), emu::Action::withStatus(0x20)});
    EXPECT_EQ(readParam(), (QStringList{"OK", "VERSION  13.1.0.1", "model: QLN-N2", "NO OK"}));
    EXPECT_TRUE(form.btWriteParam->isEnabled());
    EXPECT_EQ(form.protocol, 2);
    EXPECT_EQ(form.edTimeOpen->text(), QStringLiteral("1000"));
    EXPECT_EQ(form.param_1[1], 0x02);
}

TEST_F(ReadParam, ReaderSilentAfterTheVersionLogsErrorCsAndDecodesNothing) {
    setVersion(1, 0, 1, 13);
    com3.reader.script({emu::Action::model(), emu::Action::silence()});
    EXPECT_EQ(readParam(), (QStringList{"OK", "VERSION  13.1.0.1", "model: QLN-N2", "ERROR CS"}));
    EXPECT_FALSE(form.btWriteParam->isEnabled());
    EXPECT_EQ(form.param_1[0], 0x00);
    EXPECT_EQ(form.edTimeOpen->text(), QStringLiteral("100"));
}

TEST_F(ReadParam, WrongSumOrRefusalOfTheVersionEndsWithOneLine) {
    setVersion(1, 0, 1, 13);
    readParam();
    ASSERT_EQ(form.Device, 13);
    com3.reader.script(emu::Action::wrongSum());
    EXPECT_EQ(readParam(), QStringList{"ERROR CS"});
    EXPECT_EQ(form.Device, 255);
    EXPECT_EQ(form.lbDevice->text(), QStringLiteral("Device: not detected"));
    EXPECT_EQ(commands(), std::vector<uint8_t>{emu::cmd::kVersion});

    readParam();
    com3.reader.script(emu::Action::withStatus(0x00));
    EXPECT_EQ(readParam(), QStringList{"NO OK"});
    EXPECT_EQ(form.Device, 255);
    // A failed identification keeps the version it had.
    EXPECT_EQ(form.version32, 0x10001u);
    EXPECT_TRUE(form.FCONNECT);
}

TEST_F(ReadParam, ShortAcceptedRepliesAreRefusedLikeAWrongSum) {
    // A version reply that carries no version: never decoded.
    com3.reader.script(emu::Action::reply(emu::replyFrame(emu::cmd::kVersion, 0x55, {0x01, 0x02})));
    EXPECT_EQ(readParam(), QStringList{"ERROR CS"});
    EXPECT_EQ(form.Device, 255);
    EXPECT_EQ(form.version[0], 0);

    // A parameter reply with 3 of its 9 bytes.
    setVersion(1, 0, 1, 13);
    com3.reader.script({emu::Action::model(), emu::Action::reply(emu::replyFrame(
                                                  emu::cmd::kParams, 0x55, {0x01, 0x07, 0x00}))});
    EXPECT_EQ(readParam(), (QStringList{"OK", "VERSION  13.1.0.1", "model: QLN-N2", "ERROR CS"}));
    EXPECT_EQ(form.param_1[1], 0x00);
    EXPECT_FALSE(form.btWriteParam->isEnabled());

    // A refusal is no data reply: it stays a refusal however short.
    com3.reader.script(emu::Action::reply(emu::replyFrame(emu::cmd::kVersion, 0x20)));
    EXPECT_EQ(readParam(), QStringList{"NO OK"});
}

TEST_F(ReadParam, NoConnectionWhenTheReaderIsSilentOrThePortDidNotOpen) {
    com3.reader.script(emu::Action::silence());
    EXPECT_EQ(readParam(), QStringList{"no connection (VER)"});
    EXPECT_EQ(form.lbDevice->text(), QStringLiteral("Device: not detected"));

    // A port that could not be opened fails at once, with the same line.
    th::LinkedReader com8{8};
    TForm1 other;
    com8.unlink();
    ASSERT_TRUE(th::pickPort(other, "COM8"));
    other.btVersion->click();
    EXPECT_EQ(th::logLines(other), QStringList{"no connection (VER)"});
    EXPECT_EQ(other.Device, 255);
}

TEST_F(ReadParam, EveryReadIsBackedUpWithTheBlocksItRead) {
    QDir(device::backupFolder()).removeRecursively();
    ASSERT_EQ(readParam().mid(0, 2), (QStringList{"OK", "VERSION  15.1.7.1"}));
    // The backup is written beside the window, which does not wait for the disk.
    QStringList kept;
    for (int waited = 0; kept.isEmpty() && waited < 10000; waited += 20) {
        QThread::msleep(20);
        kept = QDir(device::backupFolder()).entryList({"*-COM3-model15.json"}, QDir::Files);
    }
    ASSERT_EQ(kept.size(), 1);
    QString error;
    const auto r = device::readSettingsFile(device::backupFolder() + '/' + kept[0], &error);
    ASSERT_TRUE(r.has_value()) << error.toStdString();
    EXPECT_EQ(r->paramBlock[0], 0x01);  // protected mode
    ASSERT_TRUE(r->filterBlock.has_value());
    EXPECT_EQ((*r->filterBlock)[0], 0xAA);
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("\u0421\u041E\u041C port selected"));
}

TEST_F(ReadParam, AReaderInItsBootLoaderIsNamedInThePanelAndTheLogKeepsItsLine) {
    com3.reader.enterBootLoader();
    EXPECT_EQ(readParam(), QStringList{"no connection (VER)"});
    EXPECT_EQ(form.pnlState->text(),
              QStringLiteral("The reader waits in its boot loader: program it with Open File and "
                             "PGM (tick \"PROG pgm\" for a new-type loader)"));
}

// What the reader layer says a fresh window shows after "Read param" is what it shows: the
// command line refuses a change by it, so it must hold for every layout, rule and block.
TEST(OfferAgainstTheWindow, EveryModelVersionAndBlockShowsWhatTheLayerSays) {
    struct Case {
        uint8_t model, v0, v1;
        std::array<uint8_t, 9> params;
    };
    const std::array<uint8_t, 9> plain{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
    const std::array<uint8_t, 9> serial{0x00, 0x13, 0x0F, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00};
    const Case cases[] = {
        {0, 1, 7, plain},   {1, 5, 7, plain},  {1, 7, 7, serial},  {1, 10, 7, plain},
        {2, 11, 7, serial}, {4, 1, 7, plain},  {4, 23, 0, plain},  {4, 28, 0, serial},
        {6, 1, 7, serial},  {6, 1, 7, plain},  {7, 1, 7, serial},  {10, 1, 7, plain},
        {12, 1, 7, plain},  {13, 1, 7, plain}, {14, 1, 7, serial}, {15, 1, 7, plain},
        {15, 1, 7, serial}, {16, 1, 7, plain},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "model " << int(c.model) << " v0 " << int(c.v0) << " v1 " << int(c.v1)
                     << " params[1] " << int(c.params[1]));
        th::LinkedReader com3{3};
        com3.reader.withModel([&](emu::ReaderModel& m) {
            m.state.version = {c.v0, c.v1, 1, c.model};
            m.state.params = c.params;
        });
        th::ModalCatcher catcher;
        TForm1 form;
        ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
        form.btVersion->click();
        com3.reader.waitUntilQuiet();
        const device::ModelRow m = *device::modelRow(c.model);
        const bool filtersRead = form.bRdFilter;
        const device::ShownControls o =
            device::shownControls(m, c.v0, c.v1, (c.params[1] >> 3) & 0x03, filtersRead);
        for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i)
            EXPECT_EQ(o.options[i], !form.optionBoxes()[i]->isHidden())
                << device::kOptionKeys[i].name;
        EXPECT_EQ(o.protocolEntries(), form.cbTypeProt->isHidden() ? 0 : form.cbTypeProt->count());
        EXPECT_EQ(o.protocol2Entries, form.cbTypeProt2->count());
        EXPECT_EQ(o.openTime, !form.edTimeOpen->isHidden());
        const auto shownFilters = device::offeredFilters(m);
        for (int i = 0; i < filters::kBoxCount; ++i) {
            const bool expected = filtersRead ? true : shownFilters[i] && !m.readsFilters;
            EXPECT_EQ(expected, !form.filterBoxes()[i]->isHidden()) << device::kFilterKeys[i].name;
        }
    }
}

// The window keeps what it showed for one reader where the next reader's layout does not set it:
// the layer's account of it, from what the window showed before, holds over a run of readers of
// every layout in one window, in both orders.
TEST(ShownControlsAgainstTheWindow, OneWindowReadsEveryLayoutInTurn) {
    struct Case {
        uint8_t model, v0, v1;
        uint8_t params1;  // byte 1 of the block: the protocols
    };
    std::vector<Case> cases{{13, 1, 7, 0x41}, {6, 1, 7, 0x13},  {1, 11, 7, 0x41}, {10, 1, 7, 0x41},
                            {7, 1, 7, 0x41},  {4, 28, 0, 0x13}, {15, 1, 7, 0x41}, {2, 5, 7, 0x13},
                            {6, 1, 7, 0x41},  {0, 1, 7, 0x41},  {16, 1, 7, 0x13}, {4, 1, 7, 0x41}};
    for (int pass = 0; pass < 2; ++pass) {
        th::LinkedReader com3{3};
        th::ModalCatcher catcher;
        TForm1 form;
        EXPECT_EQ(form.shownControls(), device::freshWindow());
        ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "pass " << pass << ", model " << int(c.model)
                                              << " v0 " << int(c.v0) << " v1 " << int(c.v1));
            com3.reader.withModel([&](emu::ReaderModel& m) {
                m.state.version = {c.v0, c.v1, 1, c.model};
                m.state.params = {0x01, c.params1, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};
            });
            const device::ShownControls before = form.shownControls();
            form.btVersion->click();
            com3.reader.waitUntilQuiet();
            const device::ModelRow m = *device::modelRow(c.model);
            const std::optional<uint8_t> protocol2 =
                m.layout == device::Layout::FilterCodes
                    ? std::nullopt
                    : std::optional<uint8_t>((c.params1 >> 3) & 0x03);
            const device::ShownControls expected =
                device::shownControls(before, m, c.v0, c.v1, protocol2, form.bRdFilter);
            const device::ShownControls got = form.shownControls();
            EXPECT_EQ(got.protocolList, expected.protocolList);
            EXPECT_EQ(got.protocolCount, expected.protocolCount);
            EXPECT_EQ(got.protocol2Entries, expected.protocol2Entries);
            EXPECT_EQ(got.secondSerial, expected.secondSerial);
            EXPECT_EQ(got.openTime, expected.openTime);
            for (std::size_t i = 0; i < device::kOptionKeys.size(); ++i)
                EXPECT_EQ(got.options[i], expected.options[i]) << device::kOptionKeys[i].name;
        }
        std::reverse(cases.begin(), cases.end());
    }
}

}  // namespace
