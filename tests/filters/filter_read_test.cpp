// The filter read at the end of "Read param", against the emulated reader.

#include "filters/filter_block.h"
#include "tests/support/read_param.h"

namespace {

constexpr std::array<uint8_t, 9> kProtected{0x01, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0, 0};

std::array<uint8_t, 32> allFilters() {
    std::array<uint8_t, 32> b = filters::kAllFiltersMask;
    b[0] = 0xAA;
    b[1] = 0x55;
    b[4] = 0x10;
    return b;
}

class FilterRead : public th::ReaderOnCom3 {
protected:
    void SetUp() override {
        th::ReaderOnCom3::SetUp();
        setParams(kProtected);
        setFilters(allFilters());
    }
};

TEST_F(FilterRead, Version171WithAllFiltersLogsEveryLineInOrder) {
    setVersion(1, 7, 1, 15);
    EXPECT_EQ(
        readParam(),
        (QStringList{"OK", "VERSION  15.1.7.1", "model: Torvik-N3", "OK", "PARAM  0A0000000101",
                     "Mode: protected.", "Wiegand 26", "Direct transmission", "OK", "FILTER READ",
                     "AA550000100000000202000000000000", "30360000000000000000000000000000",
                     "All filters are installed."}));
    EXPECT_EQ(th::hex(com3.reader.received()),
              "02 07 07 28 00 38 00 02 07 07 2A 00 3A 00 02 07 07 2B 00 3B 00");
    EXPECT_TRUE(form.bRdFilter);
    EXPECT_EQ(form.param_1[0], 0xAA);
    for (QCheckBox* box : form.filterBoxes()) EXPECT_TRUE(shown(box));
    // The filter display hides the open time that the layout showed.
    EXPECT_FALSE(shown(form.edTimeOpen));
    EXPECT_FALSE(shown(form.lbTimeOpen));
    EXPECT_TRUE(form.cbFilter1->isChecked());
    EXPECT_TRUE(form.cbZero->isChecked());
    EXPECT_TRUE(form.cbMF3->isChecked());
    EXPECT_FALSE(form.cbCounter->isChecked());
}

TEST_F(FilterRead, AllFiltersTestOnlyForVersion171AndTheWholeMask) {
    std::array<uint8_t, 32> ff;
    ff.fill(0xFF);
    setFilters(ff);
    setVersion(2, 7, 1, 16);
    QStringList lines = readParam();
    EXPECT_EQ(lines.back(), QStringLiteral("Not read param of filtes."));
    EXPECT_FALSE(lines.contains("All filters are installed."));

    std::array<uint8_t, 32> almost = allFilters();
    almost[9] = 0x00;
    setFilters(almost);
    setVersion(1, 7, 1, 16);
    lines = readParam();
    EXPECT_EQ(lines.back(), QStringLiteral("30360000000000000000000000000000"));
    EXPECT_FALSE(lines.contains("All filters are installed."));
}

TEST_F(FilterRead, ZeroIsCheckedOnModel15AndNotOnModel1ForTheSameBlock) {
    setVersion(1, 0, 1, 15);
    readParam();
    EXPECT_TRUE(form.cbZero->isChecked());
    setVersion(7, 0, 1, 1);
    readParam();
    EXPECT_EQ(commands(),
              (std::vector<uint8_t>{emu::cmd::kVersion, emu::cmd::kParams, emu::cmd::kReadFilter}));
    EXPECT_FALSE(form.cbZero->isChecked());
}

TEST_F(FilterRead, MasterModeRefusalLeavesTheBlockUnreadAndTheBoxesHidden) {
    setVersion(1, 0, 1, 2);
    setMasterMode(false);
    const QStringList lines = readParam();
    EXPECT_EQ(lines.back(),
              QStringLiteral("The filter not read. It is necessary to enter the master mode."));
    EXPECT_EQ(lines.size(), 9);
    EXPECT_FALSE(form.bRdFilter);
    EXPECT_EQ(form.param_1[0], 0x01);  // still the parameter block
    for (QCheckBox* box : form.filterBoxes()) EXPECT_FALSE(shown(box));
}

TEST_F(FilterRead, WrongSignatureStillCountsAsRead) {
    std::array<uint8_t, 32> b = allFilters();
    b[0] = 0x55;
    b[1] = 0xAA;
    setFilters(b);
    setVersion(1, 7, 1, 15);
    const QStringList lines = readParam();
    EXPECT_EQ(lines.mid(8),
              (QStringList{"OK", "FILTER READ", "55AA0000100000000202000000000000",
                           "30360000000000000000000000000000", "All filters are installed.",
                           "Not read param of filtes."}));
    EXPECT_TRUE(form.bRdFilter);
    for (QCheckBox* box : form.filterBoxes()) EXPECT_FALSE(shown(box));
    EXPECT_TRUE(form.cbSmKeyPlus->isChecked());  // the defaults
}

TEST_F(FilterRead, ShortFilterReplyAndWrongSumAreFilterErrorCs) {
    setVersion(1, 0, 1, 16);
    com3.reader.script(
        {emu::Action::model(), emu::Action::model(),
         emu::Action::reply(emu::replyFrame(emu::cmd::kReadFilter, 0x55, {0xAA, 0x55, 1, 2}))});
    EXPECT_EQ(readParam().back(), QStringLiteral("FILTER ERROR CS"));
    EXPECT_FALSE(form.bRdFilter);
    EXPECT_EQ(form.param_1[0], 0x01);

    com3.reader.script({emu::Action::model(), emu::Action::model(), emu::Action::wrongSum()});
    EXPECT_EQ(readParam().back(), QStringLiteral("FILTER ERROR CS"));
    EXPECT_FALSE(form.bRdFilter);
    for (QCheckBox* box : form.filterBoxes()) EXPECT_FALSE(shown(box));
}

TEST_F(FilterRead, SilentFilterRequestNeverTakesTheParameterReplyThenAFailedReadClearsTheFlag) {
    setVersion(1, 0, 1, 15);
    readParam();
    ASSERT_TRUE(form.bRdFilter);
    com3.reader.script({emu::Action::model(), emu::Action::model(), emu::Action::silence()});
    const QStringList lines = readParam();
    EXPECT_EQ(lines.back(), QStringLiteral("FILTER ERROR CS"));
    EXPECT_EQ(lines.size(), 9);
    EXPECT_FALSE(form.bRdFilter);
    // param_1 holds the parameter block just read, not the filter block.
    EXPECT_EQ(form.param_1[0], 0x01);
    EXPECT_EQ(form.param_1[5], 0x0A);
}

TEST_F(FilterRead, EarlierFilterReadIsForgottenWhenTheNextReadParamFails) {
    setVersion(1, 0, 1, 15);
    readParam();
    ASSERT_TRUE(form.bRdFilter);
    com3.reader.script(emu::Action::wrongSum());
    EXPECT_EQ(readParam(), QStringList{"ERROR CS"});
    EXPECT_FALSE(form.bRdFilter);
    for (QCheckBox* box : form.filterBoxes()) EXPECT_FALSE(shown(box));
}

}  // namespace
