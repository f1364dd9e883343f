// The main window as it stands after start-up.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"

namespace {

enum class Kind { Button, CheckBox, Label, Combo, Edit, Memo, Progress, Tabs };

struct ControlCase {
    const char* name;
    QWidget* (*get)(const TForm1&);
    Kind kind;
    const char* caption;  // caption, text, or design text of a list
    int x, y, w, h;
    bool shown;
    bool enabled;
};

#define C(name) #name, [](const TForm1& f) -> QWidget* { return f.name; }

const ControlCase kControls[] = {
    {C(pnlState), Kind::Label, "Select COM port", 8, 8, 417, 49, true, true},
    {C(ProgressBar1), Kind::Progress, "", 8, 55, 417, 16, true, true},
    {C(cbCom), Kind::Combo, "COM", 8, 77, 105, 21, true, true},
    {C(mm), Kind::Memo, "", 119, 77, 302, 93, true, true},
    {C(btOpenFile), Kind::Button, "Open File", 8, 114, 89, 25, true, true},
    {C(btTST), Kind::Button, "Go to the BOOT", 8, 145, 89, 25, true, true},
    {C(btPGM), Kind::Button, "PGM", 8, 176, 89, 25, true, true},
    {C(btStop), Kind::Button, "Stop", 119, 176, 75, 25, true, true},
    {C(cbProgPgm), Kind::CheckBox, "PROG pgm", 216, 180, 81, 17, true, true},
    {C(btVersion), Kind::Button, "Read param", 412, 203, 75, 25, true, true},
    {C(btWriteParam), Kind::Button, "Write param", 414, 234, 75, 25, true, false},
    {C(btFactorySettings), Kind::Button, "Factory Settings", 400, 265, 91, 25, true, true},
    {C(lbDevice), Kind::Label, "Device: not detected", 8, 452, 193, 25, true, true},
    {C(cbAvtoSetFilter), Kind::CheckBox, "Avto set filter", 314, 456, 92, 17, true, true},
    {C(btSetFilter), Kind::Button, "Set filter", 412, 452, 75, 25, true, true},
    {C(PageControl1), Kind::Tabs, "", 8, 207, 386, 233, true, true},
    // Sheet "Output protocol".
    {C(lbTypeProt), Kind::Label, "Type protocol", 17, 3, 66, 13, true, true},
    {C(cbTypeProt), Kind::Combo, "Protocol", 17, 22, 176, 21, true, true},
    {C(lbCode), Kind::Label, "Type code", 216, 3, 50, 13, true, true},
    {C(cobTypeCode), Kind::Combo, "Direct transmission", 215, 22, 114, 21, true, true},
    {C(lbTypeProt2), Kind::Label, "Avto, Tm, Wg, Uart ", 216, 57, 98, 13, true, true},
    {C(cbTypeProt2), Kind::Combo, "Avto", 215, 75, 114, 21, true, true},
    {C(cbWgParityNo), Kind::CheckBox, "Wiegand without parity", 18, 77, 140, 17, false, true},
    {C(cbBcc7Uid), Kind::CheckBox, "Convert for H7120", 18, 100, 127, 17, false, true},
    {C(cbRs485_232), Kind::CheckBox, "Rs485/Rs232", 216, 104, 97, 17, false, true},
    {C(cbPulseOnlyTm), Kind::CheckBox, "Pulse + only TM", 17, 135, 97, 17, false, true},
    {C(lbLockInGuard), Kind::Label, "Data_1 as key management", 209, 144, 134, 13, false, true},
    {C(cbLock), Kind::CheckBox, "Lock", 209, 163, 49, 17, false, true},
    {C(cbPolLock), Kind::CheckBox, "Polarity lock", 209, 181, 80, 17, false, true},
    {C(lbTimeOpen), Kind::Label, "Time open mSec", 295, 162, 77, 13, false, true},
    {C(edTimeOpen), Kind::Edit, "100", 295, 181, 66, 21, false, true},
    // Sheet "Format".
    {C(cbRestrictTm), Kind::CheckBox, "restriction TM: size TM = size Wiegand", 16, 145, 217, 17,
     true, true},
    {C(cbReverseCode), Kind::CheckBox, "Reverse code", 16, 166, 97, 17, false, true},
    {C(cbHidAnalisis), Kind::CheckBox, "size Hid", 16, 185, 67, 17, false, true},
    // Sheet "Filters": all hidden after start-up.
    {C(cbVantis), Kind::CheckBox, "Only Vantis", 16, 3, 79, 17, false, true},
    {C(cbMPlus), Kind::CheckBox, "Only MPlus", 101, 3, 81, 17, false, true},
    {C(cbCounter), Kind::CheckBox, "Counter", 188, 3, 65, 17, false, true},
    {C(cbFilter1), Kind::CheckBox, "Filter 1", 16, 23, 63, 17, false, true},
    {C(cbCounterDelete), Kind::CheckBox, "cDelete", 188, 26, 61, 17, false, true},
    {C(cbFilter2), Kind::CheckBox, "Filter 2", 16, 46, 63, 17, false, true},
    {C(cbFilter2Exception), Kind::CheckBox, "Filter 2 Exc", 85, 46, 73, 17, false, true},
    {C(cbCounterMake), Kind::CheckBox, "cMake", 188, 49, 54, 17, false, true},
    {C(cbZero), Kind::CheckBox, "Zero", 16, 69, 41, 13, false, true},
    {C(cbAllowAllLocalFilterWork), Kind::CheckBox, "Allow all local filers to work independently",
     148, 72, 227, 17, false, true},
    {C(cbOTP1), Kind::CheckBox, "OTP 1", 16, 88, 49, 17, false, true},
    {C(cbLocalFilterEn), Kind::CheckBox, "Local filter EN", 148, 95, 85, 17, false, true},
    {C(lbLocalFilter), Kind::Label, "Local filter", 248, 96, 49, 13, false, true},
    {C(cbOTP2), Kind::CheckBox, "OTP 2", 16, 111, 49, 17, false, true},
    {C(cbOTP2Plus), Kind::CheckBox, "OTP 2 Plus", 81, 111, 69, 17, false, true},
    {C(cbLocalVantis), Kind::CheckBox, "Only Vantis", 248, 115, 77, 17, false, true},
    {C(cbMF3), Kind::CheckBox, "MF3", 16, 134, 47, 17, false, true},
    {C(cbLocalMPlus), Kind::CheckBox, "Only MPlus", 248, 138, 77, 17, false, true},
    {C(cbSmKey), Kind::CheckBox, "SMK", 16, 157, 49, 17, false, true},
    {C(cbSmKeyPlus), Kind::CheckBox, "SMK Plus", 81, 156, 69, 17, false, true},
    {C(cbLocalCounter), Kind::CheckBox, "Counter", 248, 161, 77, 17, false, true},
};

#undef C

QString captionOf(QWidget* w, Kind kind) {
    switch (kind) {
        case Kind::Button:
            return static_cast<QPushButton*>(w)->text();
        case Kind::CheckBox:
            return static_cast<QCheckBox*>(w)->text();
        case Kind::Label:
            return static_cast<QLabel*>(w)->text();
        case Kind::Combo:
            return static_cast<QComboBox*>(w)->placeholderText();
        case Kind::Edit:
            return static_cast<QLineEdit*>(w)->text();
        default:
            return {};
    }
}

bool kindMatches(QWidget* w, Kind kind) {
    switch (kind) {
        case Kind::Button:
            return qobject_cast<QPushButton*>(w);
        case Kind::CheckBox:
            return qobject_cast<QCheckBox*>(w);
        case Kind::Label:
            return qobject_cast<QLabel*>(w);
        case Kind::Combo:
            return qobject_cast<QComboBox*>(w);
        case Kind::Edit:
            return qobject_cast<QLineEdit*>(w);
        case Kind::Memo:
            return qobject_cast<QPlainTextEdit*>(w);
        case Kind::Progress:
            return qobject_cast<QProgressBar*>(w);
        case Kind::Tabs:
            return qobject_cast<QTabWidget*>(w);
    }
    return false;
}

class Window : public ::testing::Test {
protected:
    TForm1 form;
};

TEST_F(Window, EveryControlHasItsKindCaptionPlaceAndStartUpState) {
    for (const ControlCase& c : kControls) {
        QWidget* w = c.get(form);
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_TRUE(kindMatches(w, c.kind)) << c.name;
        EXPECT_EQ(captionOf(w, c.kind).toStdString(), c.caption) << c.name;
        EXPECT_EQ(w->pos(), QPoint(c.x, c.y)) << c.name;
        EXPECT_EQ(w->height(), c.h) << c.name;
        // A caption that this system's font draws wider than designed widens its box a little.
        EXPECT_GE(w->width(), c.w) << c.name;
        EXPECT_LE(w->width(), c.w + 12) << c.name;
        if (c.kind != Kind::CheckBox && c.kind != Kind::Label && c.kind != Kind::Combo) {
            EXPECT_EQ(w->width(), c.w) << c.name;
        }
        EXPECT_EQ(!w->isHidden(), c.shown) << c.name;
        EXPECT_EQ(w->isEnabled(), c.enabled) << c.name;
        if (c.kind == Kind::CheckBox) {
            EXPECT_FALSE(static_cast<QCheckBox*>(w)->isChecked()) << c.name;
        }
    }
}

TEST_F(Window, ControlsSitOnTheirSheets) {
    EXPECT_EQ(form.cbTypeProt->parentWidget(), form.tsProtocol);
    EXPECT_EQ(form.edTimeOpen->parentWidget(), form.tsProtocol);
    EXPECT_EQ(form.cbRestrictTm->parentWidget(), form.tsFormat);
    EXPECT_EQ(form.cbHidAnalisis->parentWidget(), form.tsFormat);
    EXPECT_EQ(form.cbFilter1->parentWidget(), form.tsFilters);
    EXPECT_EQ(form.lbLocalFilter->parentWidget(), form.tsFilters);
    EXPECT_EQ(form.btVersion->parentWidget(), &form);
}

TEST_F(Window, CaptionClientAreaAndTabs) {
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Torvik config V15"));
    EXPECT_EQ(form.size(), QSize(495, 492));
    ASSERT_EQ(form.PageControl1->count(), 3);
    EXPECT_EQ(form.PageControl1->tabText(0), QStringLiteral("Output protocol"));
    EXPECT_EQ(form.PageControl1->tabText(1), QStringLiteral("Format"));
    EXPECT_EQ(form.PageControl1->tabText(2), QStringLiteral("Filters"));
    EXPECT_EQ(form.PageControl1->currentWidget(), form.tsFilters);
}

TEST_F(Window, LogStartsWithOneEmptyLineAndTakesWholeLines) {
    EXPECT_EQ(form.mm->toPlainText(), QString());
    EXPECT_EQ(form.mm->document()->blockCount(), 1);
    form.log(QStringLiteral("OK"));
    form.log(QStringLiteral("NO OK"));
    EXPECT_EQ(form.mm->toPlainText(), QStringLiteral("\nOK\nNO OK"));
    EXPECT_EQ(th::logLines(form), (QStringList{"OK", "NO OK"}));
    // The program's lines are kept off the undo stack, which would otherwise grow with every
    // line for as long as the window is open; what the user types is theirs to undo until the
    // program's next line.
    EXPECT_FALSE(form.mm->document()->isUndoAvailable());
    form.mm->moveCursor(QTextCursor::End);
    form.mm->insertPlainText(QStringLiteral(" typed"));
    EXPECT_TRUE(form.mm->document()->isUndoAvailable());
    form.log(QStringLiteral("OK"));
    EXPECT_EQ(th::logLines(form), (QStringList{"OK", "NO OK typed", "OK"}));
}

TEST_F(Window, FontsAreElevenPixelsAndTheDeviceLabelTwentyOne) {
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_EQ(form.btVersion->font().pixelSize(), 11);
    EXPECT_EQ(form.lbDevice->font().pixelSize(), 21);
    if (QFile::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"))) {
        EXPECT_EQ(QFontInfo(form.font()).family(), QStringLiteral("Tahoma"));
    }
}

TEST_F(Window, CaptionsFitTheirControls) {
    // Every caption is readable inside its control at the window's font.
    for (auto* w : form.findChildren<QAbstractButton*>()) {
        const QFontMetrics fm(w->font());
        int room = w->width();
        if (qobject_cast<QCheckBox*>(w))
            room -= 18;  // the box itself and its gap
        else
            room -= 4;
        EXPECT_LE(fm.horizontalAdvance(w->text()), room)
            << w->objectName().toStdString() << ' ' << w->text().toStdString();
    }
    for (auto* l : form.findChildren<QLabel*>()) {
        if (l == form.pnlState) continue;
        const QFontMetrics fm(l->font());
        EXPECT_LE(fm.horizontalAdvance(l->text()), l->width() + 2) << l->text().toStdString();
    }
}

TEST_F(Window, StateAfterStartUp) {
    EXPECT_EQ(form.Device, 255);
    EXPECT_EQ(form.nWiegand, 6);
    EXPECT_EQ(form.addr_unit, 11);
    for (bool flag : {form.FChoiseCOM, form.FStop, form.FRxCom, form.FLocalRxCom, form.FStartRxCom,
                      form.FRxErr, form.FMkStop, form.FProcessStop, form.FOPEN, form.FCONNECT,
                      form.FRbFORMAT, form.Fguard, form.bRdFilter})
        EXPECT_FALSE(flag);
    EXPECT_EQ(form.protocol, 0);
    EXPECT_EQ(form.protocol2, 0);
    EXPECT_EQ(form.typecode, 0);
    EXPECT_EQ(form.version32, 0u);
    EXPECT_EQ(form.hCom, nullptr);
    for (uint8_t b : form.bfRx) EXPECT_EQ(b, 0);
    for (uint8_t b : form.param_1) EXPECT_EQ(b, 0);

    ASSERT_EQ(form.cbTypeProt->count(), 6);
    const char* names[] = {"Factory settings", "Wiegand 26", "Wiegand 34",
                           "Wiegand 42",       "Wiegand 50", "Wiegand 58"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(form.cbTypeProt->itemText(i).toStdString(), names[i]);
    EXPECT_EQ(form.cbTypeProt->currentIndex(), -1);

    ASSERT_EQ(form.cbTypeProt2->count(), 4);
    EXPECT_EQ(form.cbTypeProt2->itemText(2), QStringLiteral("------"));
    EXPECT_EQ(form.cbTypeProt2->currentIndex(), -1);
    EXPECT_EQ(form.cobTypeCode->count(), 4);
    EXPECT_EQ(form.cobTypeCode->itemText(3), QStringLiteral("7UID reverse"));
    EXPECT_EQ(form.cbCom->currentIndex(), -1);
}

TEST(Lighter, MovesEveryChannelTowardsWhite) {
    EXPECT_EQ(TForm1::Lighter(QColor(0, 0, 255), 20), QColor(51, 51, 255));
    EXPECT_EQ(TForm1::Lighter(QColor(12, 200, 77), 0), QColor(12, 200, 77));
    EXPECT_EQ(TForm1::Lighter(QColor(12, 200, 77), 100), QColor(255, 255, 255));
    EXPECT_EQ(TForm1::Lighter(QColor(100, 0, 254), 50), QColor(178, 128, 255));
}

TEST_F(Window, InfoInfoColoursTheStatusPanel) {
    form.InfoInfo(QStringLiteral("hello"));
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("hello"));
    EXPECT_EQ(form.pnlState->palette().color(QPalette::Window), QColor(51, 51, 255));
    EXPECT_EQ(form.pnlState->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_TRUE(form.pnlState->autoFillBackground());
    // ... and it is drawn so: the panel's face and its text.
    const QImage shot = form.pnlState->grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(6, 6)), QColor(51, 51, 255));
    bool redText = false;
    for (int y = 0; y < shot.height() && !redText; ++y)
        for (int x = 0; x < shot.width() && !redText; ++x)
            redText = qRed(shot.pixel(x, y)) > 180 && qGreen(shot.pixel(x, y)) < 60;
    EXPECT_TRUE(redText);
}

// Tab leaves the log instead of replacing a selection with a tab; Ctrl+S saves the log's text,
// its first empty line included, through a save dialog.
TEST_F(Window, TabLeavesTheLogAndCtrlSSavesItAsShown) {
    form.show();
    form.log(QStringLiteral("OK"));
    form.log(QStringLiteral("VERSION  15.1.7.1"));
    const QString text = form.mm->toPlainText();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.mm->setFocus();
    QTest::keyClick(form.mm, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(form.mm, Qt::Key_Tab);
    EXPECT_EQ(form.mm->toPlainText(), text);
    EXPECT_FALSE(form.mm->hasFocus());

    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    bool answered = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        answered = true;
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(answered) << "Ctrl+S opened no save dialog";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("\nOK\nVERSION  15.1.7.1"));
    EXPECT_EQ(form.pnlState->text(), QStringLiteral("Log saved to %1").arg(path));

    EXPECT_FALSE(form.saveLog(dir.filePath("no/such/folder/log.txt")));
    EXPECT_TRUE(form.pnlState->text().startsWith(QStringLiteral("The log was not saved: ")));
}

}  // namespace
