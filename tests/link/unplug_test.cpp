// An adapter pulled out mid-exchange or mid-run, and plugged back in under the same name.

#include <QFile>
#include <QTemporaryDir>

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
        QFile::remove(com3.linkPath());
        QFile::link(QString::fromStdString(again->slavePath()), com3.linkPath());
        return again;
    }
};

TEST_F(Unplug, MidReadParamEndsAtOnceAndPickingThePortAgainWorks) {
    setVersion(1, 7, 1, 15);
    com3.reader.script({Action::model(), Action::hangUp()});
    QStringList lines;
    const long long ms = th::timedMs([&] { lines = readParam(); });
    EXPECT_EQ(lines, (QStringList{"OK", "VERSION  15.1.7.1", "model: Torvik-N3", "ERROR CS"}));
    EXPECT_LT(ms, 1000);
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
    QByteArray image(132 * 6, 0x11);
    image.replace(image.size() - 4, 4, QByteArray(4, 0));  // a trailer of 0: the whole file
    QFile f(dir.filePath("fw.rom"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(image);
    f.close();
    ASSERT_TRUE(form.loadFirmware(dir.filePath("fw.rom")));
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

}  // namespace
