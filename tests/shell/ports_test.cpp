// The port probe at start-up and the port selection, against emulated readers on pseudo-terminals.

#include <fcntl.h>
#include <grp.h>
#include <termios.h>
#include <unistd.h>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/fake_port.h"
#include "tests/support/harness.h"

namespace {

const QString kSelected = QStringLiteral("\u0421\u041E\u041C port selected");

QStringList items(const TForm1& form) {
    QStringList names;
    for (int i = 0; i < form.cbCom->count(); ++i) names << form.cbCom->itemText(i);
    return names;
}

bool deviceIsFree(const th::LinkedReader& r) {
    const int fd = th::holdDevice(r.reader.slavePath());
    th::releaseDevice(fd);
    return fd >= 0;
}

void expectSelectedPanel(const TForm1& form) {
    EXPECT_EQ(form.pnlState->text(), kSelected);
    EXPECT_EQ(form.pnlState->palette().color(QPalette::Window), QColor(51, 51, 255));
    EXPECT_EQ(form.pnlState->palette().color(QPalette::WindowText), QColor(255, 0, 0));
}

TEST(PortNames, FixedTableAndLinkFolder) {
    const QString root = comlink::deviceRoot();
    EXPECT_EQ(comlink::devicePath("COM1"), root + "/ttyS0");
    EXPECT_EQ(comlink::devicePath("COM32"), root + "/ttyS31");
    EXPECT_EQ(comlink::devicePath("COM33"), root + "/ttyUSB0");
    EXPECT_EQ(comlink::devicePath("COM64"), root + "/ttyUSB31");
    EXPECT_EQ(comlink::devicePath("COM65"), root + "/ttyACM0");
    EXPECT_EQ(comlink::devicePath("COM97"), root + "/ttyAMA0");
    EXPECT_EQ(comlink::devicePath("COM128"), root + "/ttyAMA31");
    for (const char* bad : {"COM0", "COM129", "COM05", "com5", "COMX", "COM", "COM3x", "LPT1"})
        EXPECT_TRUE(comlink::devicePath(bad).isEmpty()) << bad;

    th::LinkedReader com7{7};
    EXPECT_EQ(comlink::devicePath("COM7"), com7.linkPath());
    EXPECT_EQ(comlink::realDevicePath(com7.linkPath()),
              QString::fromStdString(com7.reader.slavePath()));
}

// What a port typed by a user is: a path as typed and a device when it leads to one, a name COMn
// in upper case, a URL as typed; a settings file beside them is no port.
TEST(PortNames, PathsNamesAndDevicesAsTyped) {
    th::LinkedReader com7{7};
    QTemporaryDir dir;
    const QString file = dir.filePath("settings.json");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    const QString slave = QString::fromStdString(com7.reader.slavePath());
    const struct {
        QString typed, name;
        bool path, device;
    } cases[] = {
        {"com7", "COM7", false, false},
        {slave, slave, true, true},
        {com7.linkPath(), com7.linkPath(), true, true},
        {comlink::portLinkFolder() + "/COM99", comlink::portLinkFolder() + "/COM99", true, true},
        {file, file, true, false},
        {dir.path(), dir.path(), true, false},
        {"socket://localhost:2000", "socket://localhost:2000", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        EXPECT_EQ(comlink::normalPortName(c.typed), c.name);
        EXPECT_EQ(comlink::isDevicePath(c.typed), c.path);
        EXPECT_EQ(comlink::isDeviceFile(c.typed), c.device);
    }
}

TEST(PortProbe, ListsLinkedPortsInAscendingOrderWithTheirDevicesAsToolTips) {
    th::LinkedReader com10{10};
    th::LinkedReader com3{3};
    TForm1 form;
    ASSERT_EQ(items(form), (QStringList{"COM3", "COM10"}));
    EXPECT_TRUE(form.cbCom->itemData(0, Qt::ToolTipRole)
                    .toString()
                    .startsWith(QString::fromStdString(com3.reader.slavePath())));
    EXPECT_TRUE(form.cbCom->itemData(1, Qt::ToolTipRole)
                    .toString()
                    .startsWith(QString::fromStdString(com10.reader.slavePath())));
    EXPECT_EQ(form.cbCom->currentIndex(), -1);
    EXPECT_EQ(form.cbCom->placeholderText(), QStringLiteral("COM"));
}

TEST(PortProbe, NeverListsANameOutsideCom1ToCom128) {
    emu::PtyReader other;
    const QString target = QString::fromStdString(other.slavePath());
    const QStringList bad{"COM129", "COM0", "COMX", "com5", "COM05", "COM3x", "ttyS0"};
    for (const QString& name : bad) QFile::link(target, comlink::portLinkFolder() + '/' + name);
    TForm1 form;
    EXPECT_TRUE(items(form).isEmpty()) << items(form).join(' ').toStdString();
    for (const QString& name : bad) QFile::remove(comlink::portLinkFolder() + '/' + name);
}

TEST(PortProbe, FindsDevicesOfTheFixedTable) {
    emu::PtyReader usb;
    const QString dev = comlink::deviceRoot() + QStringLiteral("/ttyUSB2");
    QFile::remove(dev);
    ASSERT_TRUE(QFile::link(QString::fromStdString(usb.slavePath()), dev));
    TForm1 form;
    EXPECT_EQ(items(form), QStringList{"COM35"});
    QFile::remove(dev);
}

TEST(PortProbe, SkipsAPortHeldByAnotherProgramAndLeavesNoPortOpen) {
    th::LinkedReader com3{3};
    th::LinkedReader com4{4};
    const int held = th::holdDevice(com4.reader.slavePath());
    ASSERT_GE(held, 0);
    TForm1 form;
    th::releaseDevice(held);
    EXPECT_EQ(items(form), QStringList{"COM3"});
    EXPECT_EQ(form.hCom, nullptr);
    EXPECT_TRUE(deviceIsFree(com3));
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("Select COM port"));
}

TEST(PortProbe, NoPortGivesAnEmptyListWhoseHintIsItsMenuAlone) {
    TForm1 form;
    EXPECT_EQ(form.cbCom->count(), 0);
    EXPECT_EQ(form.cbCom->toolTip(), TForm1::portMenuHint());
}

// A port that this user may not open: the device exists, the system says no.
class DeniedPort final : public th::FakePort {
public:
    bool open(const QString& p) override {
        denied_ = QFileInfo::exists(p);
        return false;
    }
    QString errorString() const override { return QStringLiteral("Permission denied"); }
    comlink::OpenFailure openFailure() const override {
        return denied_ ? comlink::OpenFailure::Permission : comlink::OpenFailure::Missing;
    }

private:
    bool denied_ = false;
};

TEST(PortProbe, SaysHowToGetPermissionWhenNoDeviceMayBeOpened) {
    emu::PtyReader usb;
    const QString dev = comlink::deviceRoot() + QStringLiteral("/ttyUSB0");
    QFile::remove(dev);
    ASSERT_TRUE(QFile::link(QString::fromStdString(usb.slavePath()), dev));
    comlink::setSerialPortFactory([] { return std::make_unique<DeniedPort>(); });
    TForm1 form;
    comlink::setSerialPortFactory({});
    QFile::remove(dev);
    EXPECT_EQ(form.cbCom->count(), 0);
    const QString hint = form.cbCom->toolTip();
    EXPECT_TRUE(hint.contains(QString::fromStdString(usb.slavePath()))) << hint.toStdString();
    EXPECT_TRUE(hint.startsWith(QStringLiteral("No serial port can be opened here.\n")))
        << hint.toStdString();
    EXPECT_TRUE(hint.contains(QStringLiteral(": you may not use it; "))) << hint.toStdString();
}

TEST(PortProbe, TheHintNamesEachLeftOutDeviceWithItsFix) {
    QTemporaryDir dir;
    const QString grouped = dir.filePath("ttyGrouped");
    const QString rootOnly = dir.filePath("ttyRootOnly");
    for (const QString& f : {grouped, rootOnly}) {
        QFile file(f);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    // A device of a group other than root: the fix is that group.
    const QString group = QStringLiteral("dialout");
    const struct group* g = ::getgrnam("dialout");
    if (!g) GTEST_SKIP() << "no group dialout here";
    ASSERT_EQ(::chown(QFile::encodeName(grouped).constData(), ::getuid(), g->gr_gid), 0);
    using comlink::OpenFailure;
    const std::vector<comlink::LeftOut> leftOut{{grouped, OpenFailure::Permission},
                                                {rootOnly, OpenFailure::Permission},
                                                {"/dev/ttyUSB3", OpenFailure::Held},
                                                {"/dev/ttyUSB4", OpenFailure::Held},
                                                {"/dev/ttyS7", OpenFailure::NotSerial}};
    EXPECT_EQ(
        comlink::leftOutHint(leftOut, false),
        QStringList({"No serial port can be opened here.",
                     grouped + ": you may not use it; add yourself to its group " + group +
                         " (sudo usermod -aG " + group + " $USER), then log out and log in again.",
                     rootOnly + ": you may not use it; only root may use it: a udev rule "
                                "can give it a group of yours, e.g. GROUP=\"dialout\".",
                     "/dev/ttyUSB3, /dev/ttyUSB4: held by another program (sudo fuser -v "
                     "/dev/ttyUSB3 names it).",
                     "/dev/ttyS7: not a serial device."})
            .join('\n'));
    // Shown beside ports that do open too, under its own heading.
    EXPECT_TRUE(comlink::leftOutHint(leftOut, true).startsWith("Serial devices not listed:\n"));
    EXPECT_TRUE(comlink::leftOutHint({}, false).isEmpty());
}

class PortSelection : public ::testing::Test {
protected:
    th::LinkedReader com3{3};
    th::LinkedReader com5{5};
    th::ModalCatcher catcher;
    TForm1 form;
};

TEST_F(PortSelection, OpensThePortExclusivelyAndSaysSoInTheStatusPanel) {
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    EXPECT_TRUE(catcher.boxes.empty());
    EXPECT_TRUE(form.FChoiseCOM);
    ASSERT_NE(form.hCom, nullptr);
    EXPECT_TRUE(form.hCom->isOpen());
    EXPECT_FALSE(deviceIsFree(com3));
    expectSelectedPanel(form);
    EXPECT_EQ(form.pDCB.baudRate, 9600u);
    EXPECT_EQ(form.pDCB.flags, 1u);
    EXPECT_EQ(form.pDCB.byteSize, 8);
    EXPECT_EQ(form.comtime.readInterval, 100u);
    EXPECT_EQ(form.comtime.readTotalPerByte, 1u);
    EXPECT_EQ(form.comtime.readTotalConstant, 2000u);
    EXPECT_EQ(form.comtime.writeTotalPerByte, 1u);
    EXPECT_EQ(form.comtime.writeTotalConstant, 10u);
    EXPECT_EQ(form.hCom->timeouts().readTotalConstant, 2000u);
    // The device itself has the reader's line: 9600 baud, 8N1, raw, no handshake.
    const int fd = ::open(com3.reader.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
    // Nothing is sent when a port is opened, and nothing is logged.
    EXPECT_TRUE(com3.reader.received().empty());
    EXPECT_TRUE(th::logLines(form).isEmpty());
}

TEST_F(PortSelection, PickingTheSamePortAgainReopensItWithoutAMessage) {
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    EXPECT_TRUE(catcher.boxes.empty());
    EXPECT_TRUE(form.hCom->isOpen());
    const uint8_t request[] = {0x02, 0x07, 0x07, 0x28, 0x00, 0x38, 0x00};
    EXPECT_TRUE(form.writePage2(request, 7));
}

TEST_F(PortSelection, PickingAnotherPortReleasesTheFirst) {
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    ASSERT_TRUE(th::pickPort(form, "COM5"));
    EXPECT_TRUE(deviceIsFree(com3));
    EXPECT_FALSE(deviceIsFree(com5));
}

TEST_F(PortSelection, PortThatVanishedSaysNotFoundAndStillChangesTheStatusPanel) {
    ASSERT_EQ(items(form), (QStringList{"COM3", "COM5"}));
    com5.unlink();
    ASSERT_TRUE(th::pickPort(form, "COM5"));
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].caption, QStringLiteral("Error"));
    EXPECT_EQ(catcher.boxes[0].text, QStringLiteral("COM5not found"));
    EXPECT_EQ(catcher.boxes[0].informative, QStringLiteral("No such file or directory"));
    EXPECT_TRUE(form.FChoiseCOM);
    expectSelectedPanel(form);
    EXPECT_FALSE(form.hCom->isOpen());
    const uint8_t request[] = {0x02, 0x07, 0x07, 0x28, 0x00, 0x38, 0x00};
    EXPECT_FALSE(form.writePage2(request, 7));
}

TEST_F(PortSelection, ClosingTheWindowClosesThePort) {
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    form.FormDestroy();
    EXPECT_TRUE(deviceIsFree(com3));
}

// A port whose driver refuses the reader's line settings.
class RefusingPort final : public th::FakePort {
public:
    using FakePort::FakePort;
    QString errorString() const override { return QStringLiteral("Invalid argument"); }
    bool setLineSettings(const comlink::LineSettings&) override { return false; }
    bool setTimeouts(const comlink::Timeouts& t) override {
        ++timeoutCalls;
        return FakePort::setTimeouts(t);
    }
    static inline int timeoutCalls = 0;
};

TEST(PortSettings, RefusedSettingsSayBusyAndLeaveThePortOpenWithoutTimeouts) {
    th::LinkedReader com6{6};
    th::ModalCatcher catcher;
    TForm1 form;
    comlink::setSerialPortFactory(
        [] { return std::make_unique<RefusingPort>(comlink::makeSystemSerialPort()); });
    RefusingPort::timeoutCalls = 0;
    const bool picked = th::pickPort(form, "COM6");
    comlink::setSerialPortFactory({});
    ASSERT_TRUE(picked);
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].caption, QStringLiteral("Error"));
    EXPECT_EQ(catcher.boxes[0].text, QStringLiteral("COM6 busy or incorrect settings"));
    EXPECT_EQ(catcher.boxes[0].informative, QStringLiteral("Invalid argument"));
    EXPECT_TRUE(form.hCom->isOpen());
    EXPECT_EQ(RefusingPort::timeoutCalls, 0);
    EXPECT_TRUE(form.FChoiseCOM);
    expectSelectedPanel(form);
}

// torvik-config --trace: the port picked is traced from its open on, the probe's opens are not,
// and the log's tool tip says where the trace goes.
TEST(Trace, TheWindowTracesThePortInUseAndSaysWhere) {
    th::LinkedReader com3{3};
    th::LinkedReader com4{4};
    QTemporaryDir dir;
    const QString path = dir.filePath("trace.txt");
    QString error;
    ASSERT_TRUE(comlink::startTrace(path, &error)) << error.toStdString();
    {
        th::ModalCatcher catcher;
        TForm1 form;
        EXPECT_EQ(form.mm->toolTip(),
                  QStringLiteral("A trace of the port in use is being written to %1").arg(path));
        ASSERT_TRUE(th::pickPort(form, QStringLiteral("COM3")));
        form.btVersion->click();
        com3.reader.waitUntilQuiet();
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString trace = QString::fromUtf8(f.readAll());
    const QString device = QString::fromStdString(com3.reader.slavePath());
    EXPECT_TRUE(trace.contains(QStringLiteral(" COM3 %1 open\n").arg(device)))
        << trace.toStdString();
    EXPECT_TRUE(
        trace.contains(QStringLiteral(" COM3 %1 write 02 07 07 28 00 38 00\n").arg(device)));
    EXPECT_TRUE(trace.contains(QStringLiteral(" COM3 %1 read 02 07 0B waited=").arg(device)));
    EXPECT_TRUE(trace.endsWith(QStringLiteral(" COM3 %1 close\n").arg(device)));
    EXPECT_FALSE(trace.contains(QStringLiteral("COM4"))) << "the probe was traced";
}

}  // namespace
