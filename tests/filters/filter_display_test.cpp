// The filter block shown as check boxes, and the rules between the boxes.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include <gtest/gtest.h>

#include "filters/filter_block.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"

namespace {

using Block = std::array<uint8_t, 32>;

Block signed_() {
    Block b{};
    b[0] = 0xAA;
    b[1] = 0x55;
    return b;
}

class FilterDisplay : public ::testing::Test {
protected:
    static bool shown(const QWidget* w) { return !w->isHidden(); }
    void expectFilter1OptionsEnabled(bool on) {
        for (QCheckBox* box : {form.cbZero, form.cbOTP1, form.cbOTP2, form.cbMF3})
            EXPECT_EQ(box->isEnabled(), on) << box->text().toStdString();
    }
    TForm1 form;
};

TEST_F(FilterDisplay, ShowsTheSeventeenBoxesAndTheLabelButNotTheLocalOnes) {
    form.edTimeOpen->show();
    form.lbTimeOpen->show();
    Block b = signed_();
    EXPECT_TRUE(form.ParseFilter(b.data(), 0));
    for (QCheckBox* box : form.filterBoxes()) EXPECT_TRUE(shown(box)) << box->text().toStdString();
    EXPECT_TRUE(shown(form.lbLocalFilter));
    for (QCheckBox* box : {form.cbLocalVantis, form.cbLocalMPlus, form.cbLocalCounter})
        EXPECT_FALSE(shown(box));
    EXPECT_FALSE(shown(form.edTimeOpen));
    EXPECT_FALSE(shown(form.lbTimeOpen));
    EXPECT_TRUE(th::logLines(form).isEmpty());
}

TEST_F(FilterDisplay, EveryBitChecksItsBox) {
    // Where the reader keeps each box's bit, written out here rather than taken from the
    // product's own table, so that a wrong bit there fails.
    struct Bit {
        QCheckBox* box;
        int byte;
        uint8_t mask;
    };
    const Bit bits[] = {
        {form.cbFilter1, 4, 0x10},
        {form.cbFilter2, 16, 0x40},
        {form.cbFilter2Exception, 16, 0x80},
        {form.cbOTP1, 8, 0x02},
        {form.cbOTP2, 17, 0x10},
        {form.cbMF3, 17, 0x20},
        {form.cbOTP2Plus, 16, 0x20},
        {form.cbSmKey, 17, 0x04},
        {form.cbSmKeyPlus, 17, 0x01},
        {form.cbCounter, 16, 0x01},
        {form.cbCounterDelete, 16, 0x08},
        {form.cbCounterMake, 16, 0x04},
        {form.cbVantis, 18, 0x01},
        {form.cbMPlus, 18, 0x02},
        {form.cbLocalFilterEn, 18, 0x40},
        {form.cbAllowAllLocalFilterWork, 18, 0x80},
    };
    ASSERT_EQ(std::size(bits), form.filterBoxes().size() - 1);  // every box but Zero
    for (const Bit& set : bits) {
        Block b = signed_();
        b[set.byte] |= set.mask;
        // With tp 0 Zero's bit is clear, so Zero reads unchecked and keeps the others apart.
        ASSERT_TRUE(form.ParseFilter(b.data(), 0));
        for (const Bit& other : bits)
            EXPECT_EQ(other.box->isChecked(), other.box == set.box)
                << set.box->text().toStdString() << " / " << other.box->text().toStdString();
    }
}

TEST_F(FilterDisplay, Filter2WinsOverFilter1) {
    Block b = signed_();
    b[4] = 0x10;
    b[16] = 0x40;
    ASSERT_TRUE(form.ParseFilter(b.data(), 0));
    EXPECT_TRUE(form.cbFilter2->isChecked());
    EXPECT_FALSE(form.cbFilter1->isChecked());
    expectFilter1OptionsEnabled(false);
    EXPECT_FALSE(form.cbOTP2Plus->isEnabled());
    EXPECT_TRUE(form.cbFilter2Exception->isEnabled());
}

TEST_F(FilterDisplay, Filter1ClearsAndDisablesFilter2Exc) {
    Block b = signed_();
    b[4] = 0x10;
    b[16] = 0x80;
    ASSERT_TRUE(form.ParseFilter(b.data(), 0));
    EXPECT_TRUE(form.cbFilter1->isChecked());
    EXPECT_FALSE(form.cbFilter2Exception->isChecked());
    EXPECT_FALSE(form.cbFilter2Exception->isEnabled());
    expectFilter1OptionsEnabled(true);
}

TEST_F(FilterDisplay, NeitherFilterKeepsTheEnabledStatesOfTheDefaults) {
    Block b = signed_();
    b[16] = 0x80;
    ASSERT_TRUE(form.ParseFilter(b.data(), 0));
    EXPECT_FALSE(form.cbFilter1->isChecked());
    EXPECT_FALSE(form.cbFilter2->isChecked());
    expectFilter1OptionsEnabled(true);
    EXPECT_FALSE(form.cbFilter2Exception->isEnabled());
    EXPECT_TRUE(form.cbFilter2Exception->isChecked());
}

TEST_F(FilterDisplay, ZeroPolarityFollowsTp) {
    Block b = signed_();
    b[16] = 0x10;
    form.ParseFilter(b.data(), 0);
    EXPECT_TRUE(form.cbZero->isChecked());
    form.ParseFilter(b.data(), 1);
    EXPECT_FALSE(form.cbZero->isChecked());
    b[16] = 0x00;
    form.ParseFilter(b.data(), 1);
    EXPECT_TRUE(form.cbZero->isChecked());
}

TEST_F(FilterDisplay, Otp2PlusFollowsOtp2EvenUnderFilter2) {
    Block b = signed_();
    b[16] = 0x40;
    b[17] = 0x10;
    form.ParseFilter(b.data(), 0);
    EXPECT_TRUE(form.cbOTP2->isChecked());
    EXPECT_FALSE(form.cbOTP2->isEnabled());
    EXPECT_TRUE(form.cbOTP2Plus->isEnabled());
    form.cbFilter2->click();  // the user leaves Filter 2: nothing clears OTP 2
    form.cbOTP2->setEnabled(true);
    form.cbOTP2->click();
    EXPECT_FALSE(form.cbOTP2Plus->isEnabled());
}

TEST_F(FilterDisplay, DisabledBoxesKeepTheirState) {
    Block b = signed_();
    b[16] = 0x01 | 0x08 | 0x04;
    form.ParseFilter(b.data(), 0);
    EXPECT_TRUE(form.cbCounterDelete->isEnabled());
    form.cbCounter->click();
    EXPECT_FALSE(form.cbCounterDelete->isEnabled());
    EXPECT_FALSE(form.cbCounterMake->isEnabled());
    EXPECT_TRUE(form.cbCounterDelete->isChecked());
    EXPECT_TRUE(form.cbCounterMake->isChecked());
    form.cbCounter->click();
    EXPECT_TRUE(form.cbCounterMake->isEnabled());
}

TEST_F(FilterDisplay, UserClicksRunTheRules) {
    Block b = signed_();
    b[4] = 0x10;
    form.ParseFilter(b.data(), 0);
    form.cbFilter2->click();
    EXPECT_FALSE(form.cbFilter1->isChecked());
    expectFilter1OptionsEnabled(false);
    // While Filter 2 is checked it wins: Filter 1 cannot be checked.
    form.cbFilter1->click();
    EXPECT_FALSE(form.cbFilter1->isChecked());
    EXPECT_TRUE(form.cbFilter2->isChecked());
    form.cbFilter2->click();
    form.cbFilter1->click();
    EXPECT_TRUE(form.cbFilter1->isChecked());
    expectFilter1OptionsEnabled(true);
    EXPECT_FALSE(form.cbFilter2Exception->isEnabled());
    // Checking MF3 runs the rules too, although none reads it.
    form.cbOTP2->setChecked(false);
    form.cbOTP2Plus->setEnabled(true);
    form.cbMF3->click();
    EXPECT_FALSE(form.cbOTP2Plus->isEnabled());
}

TEST_F(FilterDisplay, WrongSignatureLeavesTheDefaultsHiddenAndSaysSo) {
    form.edTimeOpen->show();
    form.cbFilter2->setChecked(true);
    form.cbCounter->setChecked(true);
    Block b{};
    b[0] = 0x55;
    b[1] = 0xAA;
    EXPECT_FALSE(form.ParseFilter(b.data(), 0));
    EXPECT_EQ(th::logLines(form), QStringList{"Not read param of filtes."});
    for (QCheckBox* box : form.filterBoxes()) EXPECT_FALSE(shown(box));
    EXPECT_FALSE(shown(form.edTimeOpen));
    const auto boxes = form.filterBoxes();
    for (int i = 0; i < filters::kBoxCount; ++i)
        EXPECT_EQ(boxes[i]->isChecked(), filters::kDefaultChecked[i])
            << boxes[i]->text().toStdString();
}

TEST_F(FilterDisplay, DefaultsHoldWhateverTheBoxesHeldBefore) {
    for (QCheckBox* box : form.filterBoxes()) box->setChecked(true);
    form.cbFilter2->setChecked(true);
    form.FilterDefault();
    const auto boxes = form.filterBoxes();
    for (int i = 0; i < filters::kBoxCount; ++i)
        EXPECT_EQ(boxes[i]->isChecked(), filters::kDefaultChecked[i])
            << boxes[i]->text().toStdString();
    expectFilter1OptionsEnabled(true);
    EXPECT_TRUE(form.cbOTP2Plus->isEnabled());
    EXPECT_FALSE(form.cbFilter2Exception->isEnabled());
    EXPECT_FALSE(form.cbCounterDelete->isEnabled());
    EXPECT_FALSE(form.cbCounterMake->isEnabled());
}

TEST_F(FilterDisplay, ResetUnchecksEveryBoxAndTouchesNothingElse) {
    for (QCheckBox* box : form.filterBoxes()) box->setChecked(true);
    form.FilterReset();
    for (QCheckBox* box : form.filterBoxes()) EXPECT_FALSE(box->isChecked());
    for (QCheckBox* box : form.filterBoxes()) EXPECT_FALSE(shown(box));
}

TEST(AllFiltersMask, PassesOnlyWhenEveryMaskBitIsSet) {
    Block ff;
    ff.fill(0xFF);
    EXPECT_TRUE(TForm1::checkFilterV010701(ff.data()));
    Block mask = filters::kAllFiltersMask;
    EXPECT_TRUE(TForm1::checkFilterV010701(mask.data()));  // no signature needed
    for (int i = 0; i < 32; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            if (!(filters::kAllFiltersMask[i] & (1 << bit))) continue;
            Block b = ff;
            b[i] &= static_cast<uint8_t>(~(1 << bit));
            EXPECT_FALSE(TForm1::checkFilterV010701(b.data())) << i << ":" << bit;
        }
    }
    Block none{};
    EXPECT_FALSE(TForm1::checkFilterV010701(none.data()));
}

}  // namespace
