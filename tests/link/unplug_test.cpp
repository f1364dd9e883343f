// An adapter pulled out mid-exchange or mid-run, and plugged back in under the same name.

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <iostream>

#include "link/port_names.h"
#include "tests/support/read_param.h"

namespace {

using emu::Action;
using emu::BootAction;

class Unplug : public th::ReaderOnCom3 {
public:
    // The adapter comes back: a new device behind the same COM name.
    std::unique_ptr<emu::PtyReader> plugBackIn() {
        auto again = std::make_unique<emu::PtyReader>();
        emu::linkPty(again->slavePath(), com3.name(), emu::LinkMode::Replace);
        return again;
    }
};

TEST_F(Unplug, MidReadParamEndsAtOnceAndPickingThePortAgainWorks) {
    setVersion(1, 7, 1, 15);
    com3.reader.script({Action::model(), Action::hangUp()});
    QStringList lines;
    const long long ms = th::timedMs([&] { lines = readParam(); });
    EXPECT_EQ(lines, (QStringList{"OK", "VERSION  15.1.7.1", "model: Torvik-N3", "ERROR CS"}));
    EXPECT_LT(ms, 1500);  // not the 2 s of a silent reader
    // Nothing more goes to a port that is gone, and nothing waits for it.
    form.btVersion->click();
    EXPECT_EQ(th::logLines(form).last(), QStringLiteral("no connection (VER)"));

    auto again = plugBackIn();
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    EXPECT_TRUE(catcher.boxes.empty());
    const int before = static_cast<int>(th::logLines(form).size());
    form.btVersion->click();
    again->waitUntilQuiet();
    EXPECT_EQ(th::logLines(form).mid(before, 3),
              (QStringList{"OK", "VERSION  15.1.7.1", "model: Torvik-N3"}));
}

TEST_F(Unplug, MidProgrammingRunEndsByItsFailureCountWithOneBox) {
    QTemporaryDir dir;
    ASSERT_TRUE(form.loadFirmware(th::writeFillImage(dir.path(), 132 * 6, 0x11)));
    com3.reader.enterBootLoader();
    com3.reader.bootScript({BootAction::model(), BootAction::hangUp()});
    QStringList lines;
    const int before = static_cast<int>(th::logLines(form).size());
    const long long runMs = th::timedMs([&] { form.btPGM->click(); });
    lines = th::logLines(form).mid(before);
    QStringList expected{"passed 0 block"};
    for (int i = 0; i < 7; ++i) expected << "No connection";
    expected << "Stop scan";
    EXPECT_EQ(lines, expected);
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].text, QStringLiteral("COM is broken"));
    // Two packets with their waits, then failures that no longer wait 400 ms for a reply each
    // (seven such packets would take 7 x 421 ms).
    EXPECT_LT(runMs, 2500);
    EXPECT_TRUE(form.btPGM->isEnabled());

    // Back under the same name, the run goes through without restarting the program.
    auto again = plugBackIn();
    again->enterBootLoader();
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    const int at = static_cast<int>(th::logLines(form).size());
    form.btPGM->click();
    again->waitUntilQuiet();
    EXPECT_EQ(th::logLines(form).mid(at).last(), QStringLiteral("Transmission OK"));
    EXPECT_EQ(catcher.boxes.size(), 1u);
}

// The window's own loop for ms, as it runs while nobody touches it.
double idleCpuMs(int ms) {
    const double cpu0 = th::threadCpuMs();
    QTest::qWait(ms);
    return th::threadCpuMs() - cpu0;
}

TEST_F(Unplug, IdleUnplugReleasesThePortCostsNoCpuAndSaysSo) {
    ASSERT_EQ(readParam().mid(0, 2), (QStringList{"OK", "VERSION  15.1.7.1"}));
    com3.reader.hangUp();
    const double cpu = idleCpuMs(3000);
    std::cout << "[ cpu ] idle window after an unplug: " << cpu << " ms of CPU in 3 s\n";
    // A port left open on a hung-up line spins for the whole 3 s.
    EXPECT_LT(cpu, 500.0);
    ASSERT_NE(form.hCom, nullptr);
    EXPECT_FALSE(form.hCom->isOpen());
    EXPECT_EQ(form.pnlState->text(),
              QStringLiteral("COM3 is gone: plug it back in and pick it again"));
    EXPECT_EQ(form.pnlState->palette().color(QPalette::Window), QColor(51, 51, 255));
    EXPECT_EQ(form.pnlState->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_TRUE(catcher.boxes.empty());

    // The next operation fails as on a port that never opened, and at once.
    const long long ms = th::timedMs([&] { form.btVersion->click(); });
    EXPECT_EQ(th::logLines(form).last(), QStringLiteral("no connection (VER)"));
    EXPECT_LT(ms, 1500);

    // Plugged back in under the same name: picking it again is all it takes.
    auto again = plugBackIn();
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("\u0421\u041E\u041C port selected"));
    const int before = static_cast<int>(th::logLines(form).size());
    form.btVersion->click();
    again->waitUntilQuiet();
    EXPECT_EQ(th::logLines(form).mid(before, 2), (QStringList{"OK", "VERSION  15.1.7.1"}));
}

TEST_F(Unplug, AnExchangeCutShortByTheUnplugLeavesNothingSpinning) {
    com3.reader.script({Action::hangUp()});
    form.btVersion->click();
    EXPECT_EQ(th::logLines(form).last(), QStringLiteral("no connection (VER)"));
    const double cpu = idleCpuMs(1000);
    EXPECT_LT(cpu, 200.0);
    EXPECT_FALSE(form.hCom->isOpen());
    EXPECT_EQ(form.pnlState->text(),
              QStringLiteral("COM3 is gone: plug it back in and pick it again"));
}

// The "COM is broken" box of a run whose port went away waits for OK without a busy line
// behind it.
TEST_F(Unplug, TheComIsBrokenBoxCostsNoCpuWhileItWaits) {
    QTemporaryDir dir;
    ASSERT_TRUE(form.loadFirmware(th::writeFillImage(dir.path(), 132 * 3, 0x22)));
    com3.reader.enterBootLoader();
    com3.reader.bootScript({BootAction::hangUp()});

    // A user who reads the box for two seconds before pressing OK.
    catcher.stop();
    double boxCpu = -1;
    QTimer slowUser;
    slowUser.setSingleShot(true);
    std::function<void()> look = [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            slowUser.start(5);
            return;
        }
        const double cpu0 = th::threadCpuMs();
        QTest::qWait(2000);
        boxCpu = th::threadCpuMs() - cpu0;
        box->done(QMessageBox::Ok);
    };
    QObject::connect(&slowUser, &QTimer::timeout, look);
    slowUser.start(5);
    const int before = static_cast<int>(th::logLines(form).size());
    form.btPGM->click();
    std::cout << "[ cpu ] the COM is broken box: " << boxCpu << " ms of CPU in 2 s\n";
    ASSERT_GE(boxCpu, 0.0);
    EXPECT_LT(boxCpu, 400.0);
    QStringList expected;
    for (int i = 0; i < 7; ++i) expected << "No connection";
    expected << "Stop scan";
    EXPECT_EQ(th::logLines(form).mid(before), expected);
}

}  // namespace
