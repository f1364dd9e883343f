// The port list after start-up: ports that come and go, the open port left alone, the tool tip
// that says why a device is not listed, and the lock files of other serial programs.

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "link/port_names.h"
#include "link/serial_port.h"
#include "tests/support/fake_port.h"
#include "tests/support/read_param.h"

namespace {

QStringList items(const TForm1& form) {
    QStringList names;
    for (int i = 0; i < form.cbCom->count(); ++i) names << form.cbCom->itemText(i);
    return names;
}

// The user opens the port list and closes it again.
void openList(TForm1& form) {
    form.cbCom->showPopup();
    form.cbCom->hidePopup();
}

// The system's port, with every open it is asked for written down.
class RecordingPort final : public th::FakePort {
public:
    explicit RecordingPort(QStringList& opens)
        : FakePort(comlink::makeSystemSerialPort()), opens_(opens) {}
    bool open(const QString& p) override {
        opens_ << p;
        return FakePort::open(p);
    }

private:
    QStringList& opens_;
};

TEST(PortList, OffersThePortsThatCameSinceInAscendingOrderAndKeepsTheVanished) {
    th::LinkedReader com3{3};
    th::ModalCatcher catcher;
    TForm1 form;
    ASSERT_EQ(items(form), QStringList{"COM3"});

    auto com7 = std::make_unique<th::LinkedReader>(7);
    auto com1 = std::make_unique<th::LinkedReader>(1);
    EXPECT_EQ(items(form), QStringList{"COM3"});  // nothing is probed until the list opens
    openList(form);
    EXPECT_EQ(items(form), (QStringList{"COM1", "COM3", "COM7"}));
    EXPECT_TRUE(form.cbCom->itemData(2, Qt::ToolTipRole)
                    .toString()
                    .startsWith(QString::fromStdString(com7->reader.slavePath())));
    EXPECT_EQ(form.cbCom->currentIndex(), -1);

    // The new port answers "Read param".
    ASSERT_TRUE(th::pickPort(form, "COM7"));
    form.btVersion->click();
    com7->reader.waitUntilQuiet();
    EXPECT_EQ(th::logLines(form).mid(0, 2), (QStringList{"OK", "VERSION  15.1.7.1"}));

    // A port that went away stays listed, and picking it says that it is not there.
    com1.reset();
    openList(form);
    EXPECT_EQ(items(form), (QStringList{"COM1", "COM3", "COM7"}));
    EXPECT_EQ(form.cbCom->currentText(), QStringLiteral("COM7"));
    ASSERT_TRUE(th::pickPort(form, "COM1"));
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].text, QStringLiteral("COM1not found"));
}

TEST(PortList, ARefreshLeavesTheOpenPortAlone) {
    th::LinkedReader com3{3};
    TForm1 form;
    ASSERT_TRUE(th::pickPort(form, "COM3"));
    const comlink::SerialPort* open = form.hCom.get();
    com3.reader.clearReceived();
    // The same device under a second name, and a new port.
    QFile::link(QString::fromStdString(com3.reader.slavePath()),
                comlink::portLinkFolder() + "/COM20");
    th::LinkedReader com9{9};

    QStringList opens;
    comlink::setSerialPortFactory([&] { return std::make_unique<RecordingPort>(opens); });
    openList(form);
    comlink::setSerialPortFactory({});
    QFile::remove(comlink::portLinkFolder() + "/COM20");

    EXPECT_EQ(items(form), (QStringList{"COM3", "COM9"}));
    EXPECT_EQ(form.cbCom->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(opens.size(), 126) << "every name but the listed one and the open device's";
    EXPECT_FALSE(opens.contains(com3.linkPath()));
    EXPECT_FALSE(opens.contains(comlink::portLinkFolder() + "/COM20"));
    EXPECT_EQ(form.hCom.get(), open);
    EXPECT_TRUE(form.hCom->isOpen());
    com3.reader.waitUntilQuiet();
    EXPECT_TRUE(com3.reader.received().empty());

    // A second opening probes only what is still not listed.
    opens.clear();
    comlink::setSerialPortFactory([&] { return std::make_unique<RecordingPort>(opens); });
    openList(form);
    comlink::setSerialPortFactory({});
    EXPECT_EQ(opens.size(), 126);
    EXPECT_FALSE(opens.contains(com9.linkPath()));
}

TEST(PortList, TheToolTipSaysWhichDevicesAreHeldBesideTheListedOnes) {
    th::LinkedReader com3{3};
    th::LinkedReader com4{4};
    const int held = th::holdDevice(com4.reader.slavePath());
    ASSERT_GE(held, 0);
    TForm1 form;
    EXPECT_EQ(items(form), QStringList{"COM3"});
    const QString device = QString::fromStdString(com4.reader.slavePath());
    EXPECT_EQ(form.cbCom->toolTip(), "Serial devices not listed:\n" + device +
                                         ": held by another program (sudo fuser -v " + device +
                                         " names it).\n\n" + TForm1::portMenuHint());

    // Released: the next opening of the list offers it, and nothing is left out any more.
    th::releaseDevice(held);
    openList(form);
    EXPECT_EQ(items(form), (QStringList{"COM3", "COM4"}));
    EXPECT_EQ(form.cbCom->toolTip(), TForm1::portMenuHint());
}

// Lock files as the classic serial programs write them, in a lock folder of the test's own.
class LockFiles : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = comlink::lockFolders();
        comlink::setLockFolders({locks.path()});
    }
    void TearDown() override {
        comlink::setLockFolders(saved_);
        if (live.state() != QProcess::NotRunning) {
            live.kill();
            live.waitForFinished();
        }
    }
    // The lock file's name for the device: its path under /dev, '/' as '_'.
    QString lockPath(const th::LinkedReader& r) const {
        QString dev = QString::fromStdString(r.reader.slavePath()).mid(5);
        return locks.filePath("LCK.." + dev.replace('/', '_'));
    }
    void writeLock(const QString& path, const QByteArray& content) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    qint64 livePid() {
        live.start("sleep", {"30"});
        EXPECT_TRUE(live.waitForStarted());
        return live.processId();
    }
    // A process that has ended: its PID, taken while it ran.
    static qint64 deadPid() {
        QProcess gone;
        gone.start("sleep", {"0.1"});
        gone.waitForStarted();
        const qint64 pid = gone.processId();
        gone.waitForFinished();
        return pid;
    }

    QTemporaryDir locks;
    QStringList saved_;
    QProcess live;
};

TEST_F(LockFiles, ALiveClassicLockKeepsThePortOutAndAStaleOneDoesNot) {
    th::LinkedReader com3{3};
    th::LinkedReader com4{4};
    const qint64 pid = livePid();
    writeLock(lockPath(com4), QByteArray::number(pid).rightJustified(10, ' ') + '\n');
    {
        TForm1 form;
        EXPECT_EQ(items(form), QStringList{"COM3"});
        EXPECT_TRUE(form.cbCom->toolTip().contains(QString::fromStdString(com4.reader.slavePath()) +
                                                   ": held by another program"));
    }
    writeLock(lockPath(com4), QByteArray::number(deadPid()).rightJustified(10, ' ') + '\n');
    TForm1 form;
    EXPECT_EQ(items(form), (QStringList{"COM3", "COM4"})) << form.cbCom->toolTip().toStdString();
}

TEST_F(LockFiles, APortLockedAfterStartUpGivesTheBusyPortsBoxWhenPicked) {
    th::LinkedReader com4{4};
    th::ModalCatcher catcher;
    TForm1 form;
    ASSERT_EQ(items(form), QStringList{"COM4"});
    // Qt's own format: the PID, the program and the host, a line each.
    const qint64 pid = livePid();
    writeLock(lockPath(com4), QByteArray::number(pid) + "\nminiterm\nbench-pc\n");
    com4.reader.clearReceived();
    ASSERT_TRUE(th::pickPort(form, "COM4"));
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].text, QStringLiteral("COM4not found"));
    EXPECT_TRUE(
        catcher.boxes[0].informative.startsWith(QStringLiteral("Locked by process %1").arg(pid)))
        << catcher.boxes[0].informative.toStdString();
    EXPECT_FALSE(form.hCom->isOpen());
    form.btVersion->click();
    EXPECT_EQ(th::logLines(form).last(), QStringLiteral("no connection (VER)"));
    com4.reader.waitUntilQuiet();
    EXPECT_TRUE(com4.reader.received().empty());
}

// A lock file that names no process: left by a program that has ended (older than 5 s), it goes
// and the port opens; written just now, it is said to block the port.
TEST_F(LockFiles, ALockFileThatNamesNoProcessGoesWhenItIsOld) {
    th::LinkedReader com4{4};
    th::LinkedReader com5{5};
    const QDateTime old = QDateTime::currentDateTime().addSecs(-60);
    for (auto [reader, content] :
         {std::pair{&com4, QByteArray()}, std::pair{&com5, QByteArray("garbage\n")}}) {
        writeLock(lockPath(*reader), content);
        QFile f(lockPath(*reader));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(old, QFileDevice::FileModificationTime));
    }
    TForm1 form;
    EXPECT_EQ(items(form), (QStringList{"COM4", "COM5"}));
    EXPECT_FALSE(QFile::exists(lockPath(com4)));

    writeLock(lockPath(com4), QByteArray());
    auto port = comlink::makeSerialPort();
    EXPECT_FALSE(port->open(QString::fromStdString(com4.reader.slavePath())));
    EXPECT_EQ(port->openFailure(), comlink::OpenFailure::Held);
    EXPECT_TRUE(
        port->errorString().contains(lockPath(com4) + " names no process and was written just now"))
        << port->errorString().toStdString();
}

// A program's terminal (here a session's, on a pty) is neither listed nor opened, by a pick or
// by torvik-cli, and nothing is written to it.
TEST(Terminals, TheTerminalOfARunningProgramIsLeftAlone) {
    th::LinkedReader com8{8};
    QProcess owner;
    owner.start("setsid",
                {"sh", "-c", "exec sleep 30 <" + QString::fromStdString(com8.reader.slavePath())});
    ASSERT_TRUE(owner.waitForStarted());
    QThread::msleep(300);
    TForm1 form;
    EXPECT_FALSE(items(form).contains("COM8"));
    EXPECT_TRUE(
        form.cbCom->toolTip().contains(QString::fromStdString(com8.reader.slavePath()) +
                                       ": a terminal in use by a running program, left alone."))
        << form.cbCom->toolTip().toStdString();
    auto port = comlink::makeSerialPort();
    EXPECT_FALSE(port->open(QString::fromStdString(com8.reader.slavePath())));
    EXPECT_EQ(port->openFailure(), comlink::OpenFailure::Terminal);
    owner.kill();
    owner.waitForFinished();
    EXPECT_TRUE(com8.reader.received().empty());
}

TEST(LockFile, HolderIsReadFromEitherFormatAndOnlyWhileItLives) {
    QTemporaryDir locks;
    const QStringList saved = comlink::lockFolders();
    comlink::setLockFolders({locks.path()});
    QProcess live;
    live.start("sleep", {"30"});
    ASSERT_TRUE(live.waitForStarted());
    const qint64 pid = live.processId();
    auto lock = [&](const char* name, const QByteArray& content) {
        QFile f(locks.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(content);
    };
    lock("LCK..ttyUSB0", QByteArray::number(pid).rightJustified(10, ' ') + '\n');
    lock("LCK..pts_7", QByteArray::number(pid) + "\nprog\nhost\n");
    lock("LCK..ttyACM1", "not a pid\n");
    const int32_t binary = static_cast<int32_t>(pid);
    lock("LCK..ttyS3", QByteArray(reinterpret_cast<const char*>(&binary), 4));
    EXPECT_EQ(comlink::lockFileHolder("/dev/ttyUSB0"), pid);
    EXPECT_EQ(comlink::lockFileHolder("/dev/pts/7"), pid);
    EXPECT_EQ(comlink::lockFileHolder("/dev/ttyS3"), pid);
    EXPECT_EQ(comlink::lockFileHolder("/dev/ttyACM1"), 0);
    EXPECT_EQ(comlink::lockFileHolder("/dev/ttyUSB1"), 0);
    // A binary PID whose bytes are also digits or spaces is still read as binary, and a text
    // PID of three digits is still text.
    EXPECT_EQ(comlink::lockFilePid(QByteArray("\x20\x31\x00\x00", 4)), 12576);
    EXPECT_EQ(comlink::lockFilePid("123\n"), 123);
    live.kill();
    live.waitForFinished();
    EXPECT_EQ(comlink::lockFileHolder("/dev/ttyUSB0"), 0);
    comlink::setLockFolders(saved);
}

}  // namespace
