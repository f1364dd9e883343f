// The lists of the "Output protocol" sheet, driven through the widgets.

#include <QCheckBox>
#include <QComboBox>

#include <gtest/gtest.h>

#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"

namespace {

QStringList entries(const QComboBox* list) {
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names << list->itemText(i);
    return names;
}

class ProtocolLists : public ::testing::Test {
protected:
    TForm1 form;
};

TEST_F(ProtocolLists, SevenEntriesWithoutParity) {
    form.setTypeProt(7, true);
    EXPECT_EQ(entries(form.cbTypeProt),
              (QStringList{"Factory settings", "Wiegand 24", "Wiegand 32", "Wiegand 40",
                           "Wiegand 48", "Wiegand 56", "Wiegand 34/58"}));
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
}

TEST_F(ProtocolLists, FiveEntriesWithParityEndWithWiegand50) {
    form.protocol = 3;
    form.nWiegand = 6;
    form.setTypeProt(5, false);
    EXPECT_EQ(entries(form.cbTypeProt), (QStringList{"Factory settings", "Wiegand 26", "Wiegand 34",
                                                     "Wiegand 42", "Wiegand 50"}));
    // Rebuilding selects nothing and changes neither the choice nor the count.
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
    EXPECT_EQ(form.protocol, 3);
    EXPECT_EQ(form.nWiegand, 6);
}

TEST_F(ProtocolLists, ChoosingAProtocolKeepsItsIndexAndLogsItsName) {
    ASSERT_TRUE(th::chooseEntry(form.cbTypeProt, "Wiegand 34"));
    EXPECT_EQ(form.protocol, 2);
    EXPECT_EQ(th::logLines(form), QStringList{"Wiegand 34"});
}

TEST_F(ProtocolLists, ParityBoxRebuildsTheListAndKeepsTheChoice) {
    ASSERT_TRUE(th::chooseEntry(form.cbTypeProt, "Wiegand 34"));
    form.cbWgParityNo->show();
    form.cbWgParityNo->click();
    ASSERT_TRUE(form.cbWgParityNo->isChecked());
    EXPECT_EQ(form.cbTypeProt->count(), 6);
    EXPECT_EQ(form.cbTypeProt->itemText(2), QStringLiteral("Wiegand 32"));
    EXPECT_EQ(form.cbTypeProt->currentIndex(), 2);
    EXPECT_EQ(form.protocol, 2);

    form.cbWgParityNo->click();
    EXPECT_EQ(form.cbTypeProt->itemText(2), QStringLiteral("Wiegand 34"));
    EXPECT_EQ(form.cbTypeProt->currentIndex(), 2);
    // Only the user's choice was logged.
    EXPECT_EQ(th::logLines(form), QStringList{"Wiegand 34"});
}

TEST_F(ProtocolLists, ParityChangedByTheProgramRunsTheSameRebuild) {
    form.protocol = 4;
    form.cbWgParityNo->setChecked(true);
    EXPECT_EQ(form.cbTypeProt->itemText(4), QStringLiteral("Wiegand 48"));
    EXPECT_EQ(form.cbTypeProt->currentIndex(), 4);
}

TEST_F(ProtocolLists, ParityBoxSetToTheStateItHasRebuildsNothing) {
    form.cbTypeProt->setItemText(1, QStringLiteral("marker"));
    form.cbWgParityNo->setChecked(false);
    EXPECT_EQ(form.cbTypeProt->itemText(1), QStringLiteral("marker"));
    form.cbWgParityNo->setChecked(true);
    EXPECT_EQ(form.cbTypeProt->itemText(1), QStringLiteral("Wiegand 24"));
    form.cbTypeProt->setItemText(1, QStringLiteral("marker"));
    form.cbWgParityNo->setChecked(true);
    EXPECT_EQ(form.cbTypeProt->itemText(1), QStringLiteral("marker"));
}

TEST_F(ProtocolLists, UndefinedProtocolLeavesTheListWithoutSelectionWhenParityToggles) {
    form.protocol = 255;
    form.cbWgParityNo->setChecked(true);
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
    form.cbWgParityNo->setChecked(false);
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
    EXPECT_EQ(form.protocol, 255);
}

TEST_F(ProtocolLists, ChoiceBeyondTheListAfterARebuildSelectsNothing) {
    form.nWiegand = 5;
    form.protocol = 6;
    form.cbWgParityNo->setChecked(true);
    EXPECT_EQ(form.cbTypeProt->count(), 5);
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);
    EXPECT_EQ(form.protocol, 6);
}

TEST_F(ProtocolLists, SecondProtocolShowsTheSerialBoxOnlyForItsThirdEntry) {
    ASSERT_TRUE(th::chooseEntry(form.cbTypeProt2, "------"));
    EXPECT_EQ(form.protocol2, 2);
    EXPECT_FALSE(form.cbRs485_232->isHidden());
    form.cbRs485_232->setChecked(true);
    for (const char* other : {"Avto", "One TM", "Wiegand"}) {
        ASSERT_TRUE(th::chooseEntry(form.cbTypeProt2, other));
        EXPECT_TRUE(form.cbRs485_232->isHidden()) << other;
        EXPECT_TRUE(form.cbRs485_232->isChecked()) << other;
    }
    EXPECT_EQ(form.protocol2, 3);
    EXPECT_EQ(th::logLines(form), (QStringList{"------", "Avto", "One TM", "Wiegand"}));
}

TEST_F(ProtocolLists, Rs485EntryOfModel6ShowsTheSerialBoxToo) {
    form.cbTypeProt2->clear();
    for (const char* e : {"Avto", "One TM", "Rs485(232)", "Wiegand"}) form.cbTypeProt2->addItem(e);
    ASSERT_TRUE(th::chooseEntry(form.cbTypeProt2, "Rs485(232)"));
    EXPECT_FALSE(form.cbRs485_232->isHidden());
    EXPECT_EQ(th::logLines(form), QStringList{"Rs485(232)"});
}

TEST_F(ProtocolLists, CodeTypeChoiceKeepsItsIndexAndLogsItsName) {
    ASSERT_TRUE(th::chooseEntry(form.cobTypeCode, "7UID reverse"));
    EXPECT_EQ(form.typecode, 3);
    EXPECT_EQ(th::logLines(form), QStringList{"7UID reverse"});
}

TEST_F(ProtocolLists, EntriesChosenByTheProgramRunNoHandler) {
    form.cbTypeProt->setCurrentIndex(3);
    form.cbTypeProt2->setCurrentIndex(2);
    form.cobTypeCode->setCurrentIndex(1);
    EXPECT_EQ(form.protocol, 0);
    EXPECT_EQ(form.protocol2, 0);
    EXPECT_EQ(form.typecode, 0);
    EXPECT_TRUE(form.cbRs485_232->isHidden());
    EXPECT_TRUE(th::logLines(form).isEmpty());
}

}  // namespace
