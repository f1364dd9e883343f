// The main window's controls with their design-time captions, places and sizes.

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFontDatabase>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <algorithm>
#include <functional>

#include "device/protocol_lists.h"
#include "link/trace.h"
#include "shell/qln_boot_pgm.h"

namespace {

constexpr int kClientWidth = 495;
constexpr int kClientHeight = 492;
constexpr int kFontPixels = 11;
constexpr int kDeviceFontPixels = 21;
constexpr int kListArrowAndMargins = 30;

// Tahoma where the system has it; Debian's Wine fonts ship a free one that the program loads
// for itself. Elsewhere a sans-serif face at the same size keeps the captions readable.
QString windowFontFamily() {
    static const QString family = [] {
        const QString wanted = QStringLiteral("Tahoma");
        if (QFontDatabase::families().contains(wanted)) return wanted;
        for (const char* path :
             {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/fonts/truetype/wine/tahoma.ttf"}) {
            if (!QFile::exists(QString::fromLatin1(path))) continue;
            const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(path));
            const QStringList loaded = QFontDatabase::applicationFontFamilies(id);
            if (!loaded.isEmpty()) return loaded.first();
        }
        return QStringLiteral("DejaVu Sans");
    }();
    return family;
}

QFont windowFont(int pixels) {
    QFont f(windowFontFamily());
    f.setPixelSize(pixels);
    return f;
}

template <typename W>
W* place(QWidget* parent, int x, int y, int w, int h) {
    auto* widget = new W(parent);
    widget->setGeometry(x, y, w, h);
    return widget;
}

QPushButton* button(QWidget* parent, const char* caption, int x, int y, int w, int h) {
    auto* b = place<QPushButton>(parent, x, y, w, h);
    b->setText(QString::fromUtf8(caption));
    return b;
}

QCheckBox* checkBox(QWidget* parent, const char* caption, int x, int y, int w, int h) {
    auto* c = place<QCheckBox>(parent, x, y, w, h);
    c->setText(QString::fromUtf8(caption));
    return c;
}

QLabel* label(QWidget* parent, const char* caption, int x, int y, int w, int h) {
    auto* l = place<QLabel>(parent, x, y, w, h);
    l->setText(QString::fromUtf8(caption));
    return l;
}

// The port list: it tells before it opens, so that the ports that came since can be offered.
class PortList final : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> aboutToOpen;
    void showPopup() override {
        if (aboutToOpen) aboutToOpen();
        QComboBox::showPopup();
    }
};

// A drop-down list whose design text shows while no item is selected. Items are chosen from the
// list only; nothing typed reaches the handlers.
template <typename List = QComboBox>
List* comboBox(QWidget* parent, const char* designText, int x, int y, int w, int h) {
    auto* c = place<List>(parent, x, y, w, h);
    c->setPlaceholderText(QString::fromUtf8(designText));
    // The design text reads like any other text, not greyed out.
    QPalette p = c->palette();
    p.setColor(QPalette::PlaceholderText, p.color(QPalette::Text));
    c->setPalette(p);
    c->setCurrentIndex(-1);
    return c;
}

// Widens a check box or label whose caption the platform's font draws wider than the design
// allowed, so that no caption is clipped; place, height and every other width stay as designed.
void fitCaption(QWidget* w) {
    int needed = 0;
    if (qobject_cast<QCheckBox*>(w) || qobject_cast<QLabel*>(w)) {
        needed = w->sizeHint().width();
    } else if (auto* list = qobject_cast<QComboBox*>(w)) {
        // The longest entry, or the design text, next to the arrow.
        const QFontMetrics fm(list->font());
        int text = fm.horizontalAdvance(list->placeholderText());
        for (int i = 0; i < list->count(); ++i)
            text = std::max(text, fm.horizontalAdvance(list->itemText(i)));
        needed = text + kListArrowAndMargins;
    }
    if (needed > w->width()) w->resize(needed, w->height());
}

}  // namespace

void TForm1::createControls() {
    setWindowTitle(QStringLiteral("Torvik config V15"));
    setFont(windowFont(kFontPixels));
    resize(kClientWidth, kClientHeight);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);

    pnlState = label(this, "Select COM port", 8, 8, 417, 49);
    pnlState->setFrameStyle(QFrame::Panel | QFrame::Raised);
    pnlState->setAlignment(Qt::AlignCenter);
    // Its own colours, not the button face that the window's other controls stand on.
    pnlState->setBackgroundRole(QPalette::Window);
    pnlState->setForegroundRole(QPalette::WindowText);
    ProgressBar1 = place<QProgressBar>(this, 8, 55, 417, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    auto* ports = comboBox<PortList>(this, "COM", 8, 77, 105, 21);
    ports->aboutToOpen = [this] { refreshPorts(); };
    cbCom = ports;
    // Its context menu: readers behind a network serial server, and the bench of readers.
    actAddNetworkPort = new QAction(QStringLiteral("Add network port..."), this);
    actRemoveNetworkPort = new QAction(QStringLiteral("Remove network port"), this);
    actBench = new QAction(QStringLiteral("Bench of readers..."), this);
    actBench->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+B")));
    actBench->setShortcutContext(Qt::WindowShortcut);
    addAction(actBench);
    ports->setContextMenuPolicy(Qt::CustomContextMenu);
    mm = place<QPlainTextEdit>(this, 119, 77, 302, 93);
    mm->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Tab leaves the log, as it leaves every other control; typing into it stays possible.
    mm->setTabChangesFocus(true);
    if (!comlink::tracePath().isEmpty())
        mm->setToolTip(QStringLiteral("A trace of the port in use is being written to %1")
                           .arg(comlink::tracePath() == QLatin1String("-")
                                    ? QStringLiteral("standard error")
                                    : comlink::tracePath()));
    btOpenFile = button(this, "Open File", 8, 114, 89, 25);
    btTST = button(this, "Go to the BOOT", 8, 145, 89, 25);
    btPGM = button(this, "PGM", 8, 176, 89, 25);
    btStop = button(this, "Stop", 119, 176, 75, 25);
    cbProgPgm = checkBox(this, "PROG pgm", 216, 180, 81, 17);

    btVersion = button(this, "Read param", 412, 203, 75, 25);
    btWriteParam = button(this, "Write param", 414, 234, 75, 25);
    btFactorySettings = button(this, "Factory Settings", 400, 265, 91, 25);
    lbDevice = label(this, "Device: not detected", 8, 452, 193, 25);
    lbDevice->setFont(windowFont(kDeviceFontPixels));
    cbAvtoSetFilter = checkBox(this, "Avto set filter", 314, 456, 92, 17);
    btSetFilter = button(this, "Set filter", 412, 452, 75, 25);

    PageControl1 = place<QTabWidget>(this, 8, 207, 386, 233);
    tsProtocol = new QWidget;
    tsFormat = new QWidget;
    tsFilters = new QWidget;
    PageControl1->addTab(tsProtocol, QStringLiteral("Output protocol"));
    PageControl1->addTab(tsFormat, QStringLiteral("Format"));
    PageControl1->addTab(tsFilters, QStringLiteral("Filters"));
    PageControl1->setCurrentWidget(tsFilters);

    QWidget* s = tsProtocol;
    lbTypeProt = label(s, "Type protocol", 17, 3, 66, 13);
    cbTypeProt = comboBox(s, "Protocol", 17, 22, 176, 21);
    lbCode = label(s, "Type code", 216, 3, 50, 13);
    cobTypeCode = comboBox(s, "Direct transmission", 215, 22, 114, 21);
    for (const char* entry : device::kTypeCodeEntries)
        cobTypeCode->addItem(QString::fromUtf8(entry));
    lbTypeProt2 = label(s, "Avto, Tm, Wg, Uart ", 216, 57, 98, 13);
    cbTypeProt2 = comboBox(s, "Avto", 215, 75, 114, 21);
    cbWgParityNo = checkBox(s, "Wiegand without parity", 18, 77, 140, 17);
    cbBcc7Uid = checkBox(s, "Convert for H7120", 18, 100, 127, 17);
    cbRs485_232 = checkBox(s, "Rs485/Rs232", 216, 104, 97, 17);
    cbPulseOnlyTm = checkBox(s, "Pulse + only TM", 17, 135, 97, 17);
    lbLockInGuard = label(s, "Data_1 as key management", 209, 144, 134, 13);
    cbLock = checkBox(s, "Lock", 209, 163, 49, 17);
    cbPolLock = checkBox(s, "Polarity lock", 209, 181, 80, 17);
    lbTimeOpen = label(s, "Time open mSec", 295, 162, 77, 13);
    edTimeOpen = place<QLineEdit>(s, 295, 181, 66, 21);
    edTimeOpen->setText(QStringLiteral("100"));

    s = tsFormat;
    cbRestrictTm = checkBox(s, "restriction TM: size TM = size Wiegand", 16, 145, 217, 17);
    cbReverseCode = checkBox(s, "Reverse code", 16, 166, 97, 17);
    cbHidAnalisis = checkBox(s, "size Hid", 16, 185, 67, 17);
    cbHidAnalisis->hide();

    s = tsFilters;
    cbVantis = checkBox(s, "Only Vantis", 16, 3, 79, 17);
    cbMPlus = checkBox(s, "Only MPlus", 101, 3, 81, 17);
    cbCounter = checkBox(s, "Counter", 188, 3, 65, 17);
    cbFilter1 = checkBox(s, "Filter 1", 16, 23, 63, 17);
    cbCounterDelete = checkBox(s, "cDelete", 188, 26, 61, 17);
    cbFilter2 = checkBox(s, "Filter 2", 16, 46, 63, 17);
    cbFilter2Exception = checkBox(s, "Filter 2 Exc", 85, 46, 73, 17);
    cbCounterMake = checkBox(s, "cMake", 188, 49, 54, 17);
    cbZero = checkBox(s, "Zero", 16, 69, 41, 13);
    cbAllowAllLocalFilterWork =
        checkBox(s, "Allow all local filers to work independently", 148, 72, 227, 17);
    cbOTP1 = checkBox(s, "OTP 1", 16, 88, 49, 17);
    cbLocalFilterEn = checkBox(s, "Local filter EN", 148, 95, 85, 17);
    lbLocalFilter = label(s, "Local filter", 248, 96, 49, 13);
    cbOTP2 = checkBox(s, "OTP 2", 16, 111, 49, 17);
    cbOTP2Plus = checkBox(s, "OTP 2 Plus", 81, 111, 69, 17);
    cbLocalVantis = checkBox(s, "Only Vantis", 248, 115, 77, 17);
    cbMF3 = checkBox(s, "MF3", 16, 134, 47, 17);
    cbLocalMPlus = checkBox(s, "Only MPlus", 248, 138, 77, 17);
    cbSmKey = checkBox(s, "SMK", 16, 157, 49, 17);
    cbSmKeyPlus = checkBox(s, "SMK Plus", 81, 156, 69, 17);
    cbLocalCounter = checkBox(s, "Counter", 248, 161, 77, 17);

    for (QWidget* w : findChildren<QWidget*>())
        if (w != pnlState && w != lbDevice) fitCaption(w);
}

void TForm1::addNetworkPort() {
    bool ok = false;
    const QString url = QInputDialog::getText(
        this, QStringLiteral("Add network port"),
        QStringLiteral("A reader behind a network serial server (such as ser2net):\n"
                       "rfc2217://HOST:PORT sets the line from here, as for a COM port;\n"
                       "socket://HOST:PORT carries the bytes only: the server's device\n"
                       "must already be set to 9600 baud, 8 data bits, no parity, 1 stop bit."),
        QLineEdit::Normal, QStringLiteral("rfc2217://"), &ok);
    if (ok) addNetworkPortUrl(url);
}
