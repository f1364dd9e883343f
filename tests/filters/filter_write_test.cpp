// "Set filter" in its three forms, against the emulated reader.

#include "filters/filter_codes.h"
#include "tests/support/read_param.h"

namespace {

using filters::BoxStates;
using th::hex;

const QString kNotSelected = QStringLiteral("\u0421\u041E\u041C port is not selected");
constexpr std::array<uint8_t, 9> kProtected{0x01, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0, 0};

BoxStates defaults() {
    return filters::kDefaultChecked;
}

std::string codes(const std::vector<uint8_t>& c) {
    return hex(c.data(), c.size());
}

TEST(FilterCodes, DefaultsGiveSixCodes) {
    EXPECT_EQ(codes(filters::filterCodes(defaults())), "01 08 0D 13 19 17");
}

TEST(FilterCodes, Filter1WithEveryOptionClearGivesTwelveAndWithTheCounterFifteen) {
    BoxStates s{};
    s[filters::Filter1] = true;
    EXPECT_EQ(codes(filters::filterCodes(s)), "01 03 04 05 11 07 0A 0B 0D 13 19 17");
    s[filters::Counter] = s[filters::CDelete] = s[filters::CMake] = true;
    const auto c = filters::filterCodes(s);
    EXPECT_EQ(c.size(), 15u);
    EXPECT_EQ(codes(c), "01 03 04 05 11 07 0E 0F 10 0A 0B 0D 13 19 17");
}

TEST(FilterCodes, NeitherFilterSendsTheModeCodesOfFilter1WithoutOptions) {
    BoxStates s{};
    BoxStates f1{};
    f1[filters::Filter1] = true;
    EXPECT_EQ(codes(filters::filterCodes(s)), codes(filters::filterCodes(f1)));
}

TEST(FilterCodes, Filter2WithItsExceptionAndTheOtherPairs) {
    BoxStates s{};
    s[filters::Filter2] = s[filters::Filter2Exc] = true;
    s[filters::Filter1] = false;
    s[filters::Otp2] = true;     // a Filter 1 option plays no part under Filter 2
    s[filters::CDelete] = true;  // nor cDelete without the counter
    s[filters::Smk] = s[filters::SmkPlus] = s[filters::OnlyVantis] = s[filters::OnlyMPlus] = true;
    s[filters::AllowAllLocal] = s[filters::LocalFilterEn] = true;
    EXPECT_EQ(codes(filters::filterCodes(s)), "02 05 11 07 06 08 0C 12 18 16");
}

TEST(ExplicitFilterFrame, DefaultsGiveTheReaderDocumentedFrame) {
    const auto f = filters::explicitFilterFrame(defaults());
    EXPECT_EQ(hex(f.data(), f.size()),
              "02 07 3C 2C 02 EB 33 83 01 01 88 01 00 82 01 01 84 01 01 89 01 01 85 01 00 86 01 "
              "00 87 01 01 90 01 01 91 01 01 92 01 01 93 01 00 95 01 00 94 01 00 8A 01 00 8B 01 "
              "00 8C 01 00 E6 0A");
}

TEST(ExplicitFilterFrame, SmkFillsRecords9And10) {
    BoxStates s{};
    s[filters::Smk] = true;
    const auto f = filters::explicitFilterFrame(s);
    EXPECT_EQ(hex(f.data() + 31, 9), "90 01 01 91 01 01 92 01 00");
    EXPECT_TRUE(TForm1::chkCRCusb16(f.data()));
}

class SetFilter : public th::ReaderOnCom3 {
protected:
    void readAs(uint8_t model, std::array<uint8_t, 9> params = kProtected) {
        setVersion(1, 0, 1, model);
        setParams(params);
        readParam();
    }
    QStringList setFilter() { return press(form.btSetFilter); }
    std::vector<std::string> sent() const {
        std::vector<std::string> frames;
        for (const th::Bytes& f : com3.reader.requests()) frames.push_back(hex(f));
        return frames;
    }
};

TEST_F(SetFilter, VexaDefaultsGoAsSixFilterCodeRequests) {
    readAs(10);
    EXPECT_EQ(setFilter(), (QStringList{"OK", "OK", "OK", "OK", "OK", "OK"}));
    EXPECT_EQ(sent(), (std::vector<std::string>{"02 07 07 1F 01 30 00", "02 07 07 1F 08 37 00",
                                                "02 07 07 1F 0D 3C 00", "02 07 07 1F 13 42 00",
                                                "02 07 07 1F 19 48 00", "02 07 07 1F 17 46 00"}));
}

TEST_F(SetFilter, UserChangesReachTheCodesOfModel11) {
    readAs(11);
    form.cbVantis->click();
    form.cbLocalFilterEn->click();
    EXPECT_EQ(setFilter().size(), 6);
    EXPECT_EQ(sent()[2], "02 07 07 1F 0C 3B 00");
    EXPECT_EQ(sent()[5], "02 07 07 1F 16 45 00");
}

TEST_F(SetFilter, RefusalOfTheThirdCodeStopsTheSequence) {
    readAs(11);
    com3.reader.script({emu::Action::model(), emu::Action::model(), emu::Action::withStatus(0x20)});
    EXPECT_EQ(setFilter(),
              (QStringList{"OK", "OK", "Error: The Object Card mast be registred", "NO OK"}));
    EXPECT_EQ(sent().size(), 3u);
    com3.reader.script({emu::Action::model(), emu::Action::model(), emu::Action::withStatus(0x33)});
    EXPECT_EQ(setFilter(), (QStringList{"OK", "OK", "Error", "NO OK"}));
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(SetFilter, LostReplyToTheThirdCodeIsNeverTakenFromTheSecond) {
    readAs(10);
    com3.reader.script({emu::Action::model(), emu::Action::model(), emu::Action::silence()});
    EXPECT_EQ(setFilter(), (QStringList{"OK", "OK", "ERROR CS", "NO OK"}));
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(SetFilter, Model4SendsTheAutomaticRequestWhatever) {
    readAs(4);
    EXPECT_FALSE(form.cbAvtoSetFilter->isChecked());
    EXPECT_EQ(setFilter(), QStringList{"OK: Filter write."});
    EXPECT_EQ(sent(), std::vector<std::string>{"02 07 07 2C 00 3C 00"});
    com3.reader.script(emu::Action::withStatus(0x20));
    EXPECT_EQ(setFilter(), QStringList{"NO OK. It is necessary to enter the master mode."});
    com3.reader.script(emu::Action::wrongSum());
    EXPECT_EQ(setFilter(), QStringList{"ERROR CS"});
}

TEST_F(SetFilter, Model15WritesTheExplicitFrameAfterAFilterRead) {
    readAs(15);
    ASSERT_TRUE(form.bRdFilter);
    // The reader's default block shows the default states.
    const char* frame =
        "02073C2C02EB338301018801008201018401018901018501008601008701019001019101019201019301"
        "009501009401008A01008B01008C0100";
    EXPECT_EQ(setFilter(), (QStringList{frame, "OK: Filter write."}));
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].substr(sent()[0].size() - 5), "E6 0A");
    EXPECT_EQ(QString::fromLatin1(frame).size(), 116);

    // With "Avto set filter" ticked the automatic request goes instead.
    form.cbAvtoSetFilter->setChecked(true);
    EXPECT_EQ(setFilter(), QStringList{"OK: Filter write."});
    EXPECT_EQ(sent(), std::vector<std::string>{"02 07 07 2C 00 3C 00"});
}

TEST_F(SetFilter, ExplicitFrameIsStoredAndShownByTheNextReadParam) {
    readAs(16);
    form.cbFilter2->click();
    form.cbFilter2Exception->click();
    form.cbCounter->click();
    form.cbSmKeyPlus->click();
    EXPECT_EQ(setFilter().back(), QStringLiteral("OK: Filter write."));
    readParam();
    EXPECT_TRUE(form.cbFilter2->isChecked());
    EXPECT_FALSE(form.cbFilter1->isChecked());
    EXPECT_TRUE(form.cbFilter2Exception->isChecked());
    EXPECT_TRUE(form.cbCounter->isChecked());
    EXPECT_FALSE(form.cbSmKeyPlus->isChecked());
}

TEST_F(SetFilter, WrongSignatureStillWritesTheDefaultsLeftInTheHiddenBoxes) {
    std::array<uint8_t, 32> bad{};
    bad[0] = 0x55;
    setFilters(bad);
    readAs(16);
    ASSERT_TRUE(form.bRdFilter);
    ASSERT_TRUE(form.cbFilter1->isHidden());
    setFilter();
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].substr(sent()[0].size() - 5), "E6 0A");
}

TEST_F(SetFilter, WithoutAFilterBlockModels13To16AskForOne) {
    for (uint8_t model : {13, 14, 15}) {
        readAs(model, {0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});
        EXPECT_EQ(setFilter(), QStringList{"The filter parameters were not read."}) << int(model);
        EXPECT_TRUE(sent().empty());
    }
}

TEST_F(SetFilter, ModelsWithoutAFilterWriteAreRefused) {
    for (uint8_t model : {0, 1, 2, 6, 7, 12}) {
        readAs(model);
        EXPECT_EQ(setFilter(), QStringList{"This command is not supported by this device."})
            << int(model);
        EXPECT_TRUE(sent().empty());
    }
}

TEST_F(SetFilter, RefusalsBeforeAnyExchangeSendNothing) {
    EXPECT_EQ(setFilter(), QStringList{"Device is not known"});
    EXPECT_TRUE(com3.reader.received().empty());
    th::LinkedReader com4{4};
    TForm1 other;
    other.btSetFilter->click();
    EXPECT_EQ(th::logLines(other), QStringList{kNotSelected});
    EXPECT_TRUE(com4.reader.received().empty());
}

}  // namespace
