// "Go to the BOOT" against the emulated reader.

#include <QPushButton>

#include "tests/support/read_param.h"

namespace {

class BootEntry : public th::ReaderOnCom3 {
protected:
    QStringList goToBoot() { return press(form.btTST); }
};

TEST_F(BootEntry, SendsTheRequestAndLogsOneVerdict) {
    EXPECT_EQ(goToBoot(), QStringList{"OK"});
    EXPECT_EQ(th::hex(com3.reader.received()), "02 07 06 E0 EF 00");
    EXPECT_TRUE(com3.reader.state().inBootLoader);
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("\u0421\u041E\u041C port selected"));
}

TEST_F(BootEntry, RefusalWrongSumAndSilence) {
    com3.reader.script(emu::Action::withStatus(0x01));
    EXPECT_EQ(goToBoot(), QStringList{"NO OK"});
    com3.reader.script(emu::Action::wrongSum());
    EXPECT_EQ(goToBoot(), QStringList{"ERROR CS"});
    // The reader did go to its boot loader; bring it back to its application.
    com3.reader.withModel([](emu::ReaderModel& m) { m.state.inBootLoader = false; });
    EXPECT_EQ(goToBoot(), QStringList{"OK"});
    com3.reader.withModel([](emu::ReaderModel& m) { m.state.inBootLoader = false; });
    // Right after an accepted request, a reader that answers nothing is no success.
    com3.reader.script(emu::Action::silence());
    EXPECT_EQ(goToBoot(), QStringList{"ERROR CS"});
}

TEST(BootEntryWithoutPort, RefusesWithTheCyrillicLineAndSendsNothing) {
    th::LinkedReader com4{4};
    TForm1 form;
    form.btTST->click();
    const QStringList lines = th::logLines(form);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], QStringLiteral("\u0421\u041E\u041C port is not selected"));
    EXPECT_EQ(lines[0].left(3).toUcs4(), (QList<uint>{0x0421, 0x041E, 0x041C}));
    EXPECT_TRUE(com4.reader.received().empty());
}

}  // namespace
