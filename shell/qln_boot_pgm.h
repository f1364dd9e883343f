#pragma once

#include <QAction>
#include <QColor>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "device/compare.h"
#include "device/configuration.h"
#include "device/reader.h"
#include "device/settings_file.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/serial_port.h"

class BenchWindow;
class QBuffer;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace device {
// Selects entry index of list by program, which runs no change handler; an index beyond the list
// leaves it without a selected entry.
void selectEntry(QComboBox* list, int index);
// Chooses entry index as a user does: the entry is selected and the list's handler runs. For the
// fronts and tests that drive a window which nobody clicks.
void chooseEntry(QComboBox* list, int index);
}  // namespace device

// The configurator's main window and its whole state. Every operation of the program is a
// handler of one of its controls; the handlers live beside the subsystem they belong to, and
// each group of declarations below names the file that defines it. A handler turns the controls
// into data, has the reader layer (device::Reader, which needs no window) talk to the reader,
// and turns the typed result back into controls; the layer writes the log lines through log().
class TForm1 : public QWidget {
    Q_OBJECT

    // The reader's operations on the open port. First of all, because the reply buffer and its
    // flag below are the layer's.
    std::unique_ptr<device::Reader> reader_;

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Top and left area.
    QLabel* pnlState = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QComboBox* cbCom = nullptr;
    // The port list's context menu: readers behind a network serial server.
    QAction* actAddNetworkPort = nullptr;
    QAction* actRemoveNetworkPort = nullptr;
    // "Bench of readers..." (Ctrl+Shift+B): in the port list's and the status panel's menus.
    QAction* actBench = nullptr;
    QPlainTextEdit* mm = nullptr;
    QPushButton* btOpenFile = nullptr;
    QPushButton* btTST = nullptr;
    QPushButton* btPGM = nullptr;
    QPushButton* btStop = nullptr;
    QCheckBox* cbProgPgm = nullptr;

    // Right side and bottom.
    QPushButton* btVersion = nullptr;
    QPushButton* btWriteParam = nullptr;
    QPushButton* btFactorySettings = nullptr;
    QLabel* lbDevice = nullptr;
    QCheckBox* cbAvtoSetFilter = nullptr;
    QPushButton* btSetFilter = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* tsProtocol = nullptr;
    QWidget* tsFormat = nullptr;
    QWidget* tsFilters = nullptr;

    // Sheet "Output protocol".
    QLabel* lbTypeProt = nullptr;
    QComboBox* cbTypeProt = nullptr;
    QLabel* lbCode = nullptr;
    QComboBox* cobTypeCode = nullptr;
    QLabel* lbTypeProt2 = nullptr;
    QComboBox* cbTypeProt2 = nullptr;
    QCheckBox* cbWgParityNo = nullptr;
    QCheckBox* cbBcc7Uid = nullptr;
    QCheckBox* cbRs485_232 = nullptr;
    QCheckBox* cbPulseOnlyTm = nullptr;
    QLabel* lbLockInGuard = nullptr;
    QCheckBox* cbLock = nullptr;
    QCheckBox* cbPolLock = nullptr;
    QLabel* lbTimeOpen = nullptr;
    QLineEdit* edTimeOpen = nullptr;

    // Sheet "Format".
    QCheckBox* cbRestrictTm = nullptr;
    QCheckBox* cbReverseCode = nullptr;
    QCheckBox* cbHidAnalisis = nullptr;

    // Sheet "Filters".
    QCheckBox* cbVantis = nullptr;
    QCheckBox* cbMPlus = nullptr;
    QCheckBox* cbCounter = nullptr;
    QCheckBox* cbFilter1 = nullptr;
    QCheckBox* cbCounterDelete = nullptr;
    QCheckBox* cbFilter2 = nullptr;
    QCheckBox* cbFilter2Exception = nullptr;
    QCheckBox* cbCounterMake = nullptr;
    QCheckBox* cbZero = nullptr;
    QCheckBox* cbAllowAllLocalFilterWork = nullptr;
    QCheckBox* cbOTP1 = nullptr;
    QCheckBox* cbLocalFilterEn = nullptr;
    QLabel* lbLocalFilter = nullptr;
    QCheckBox* cbOTP2 = nullptr;
    QCheckBox* cbOTP2Plus = nullptr;
    QCheckBox* cbLocalVantis = nullptr;
    QCheckBox* cbMF3 = nullptr;
    QCheckBox* cbLocalMPlus = nullptr;
    QCheckBox* cbSmKey = nullptr;
    QCheckBox* cbSmKeyPlus = nullptr;
    QCheckBox* cbLocalCounter = nullptr;

    // State, in this order, after the controls.
    std::unique_ptr<comlink::SerialPort> hCom;  // none, or the port of the last selection
    comlink::LineSettings pDCB{};
    comlink::Timeouts comtime{};
    bool FChoiseCOM = false;
    bool FStop = false;
    bool& FRxCom;  // the last exchange brought a whole reply
    bool FLocalRxCom = false;
    bool FStartRxCom = false;
    bool FRxErr = false;
    bool FMkStop = false;
    uint8_t addr_unit = 0;
    uint8_t (&bfRx)[256];  // the reader layer's reply buffer
    int32_t pnt_bfRx = 0;
    bool FProcessStop = false;
    uint8_t param_1[33] = {};
    uint8_t param_2[16] = {};
    uint8_t version[8] = {};
    uint8_t Device = 0;
    uint32_t version32 = 0;
    uint8_t protocol = 0;
    uint8_t protocol2 = 0;
    uint8_t typecode = 0;
    uint8_t nWiegand = 0;
    std::unique_ptr<QBuffer> F;  // the loaded firmware image while FOPEN is true
    bool FOPEN = false;
    bool FCONNECT = false;
    bool FRbFORMAT = false;
    bool Fguard = false;
    bool bRdFilter = false;

    // Shell: shell/qln_boot_pgm.cpp.
    void FormCreate();
    void FormDestroy();
    void InfoInfo(const QString& s);
    static QColor Lighter(const QColor& Color, uint8_t Percent);
    void log(const QString& line);
    // "Save log...": the log's text as shown, UTF-8 with LF line ends, to a file of the user's
    // choice (Ctrl+S, or the log's context menu). saveLog writes it to path; false, with the
    // reason in the status panel, when that failed.
    void saveLogAs();
    bool saveLog(const QString& path);
    // The window's file dialog (Qt's own, from the working folder) for a file to save or to open:
    // the path chosen, or empty. filter names the files offered beside "All files (*)"; suffix
    // is added to a name typed without one; suggested is the name offered first.
    QString chooseFile(const QString& caption, bool save, const QString& filter,
                       const QString& suffix, const QString& suggested = {});
    // "Save support record..." in the log's context menu: one text file for support with the
    // versions, the ports, the settings last read, the log and the wire trace kept in memory
    // (no --trace needed). saveSupportRecord writes it to path; false, with the reason in the
    // status panel, when that failed.
    void saveSupportRecordAs();
    bool saveSupportRecord(const QString& path);
    // "Save settings..." (Ctrl+Shift+S) and "Load settings..." (Ctrl+Shift+O), in the status
    // panel's context menu: the settings the window holds, as a settings file; and a file's
    // settings into the controls, as "Read param" puts a block's there, for "Write param" to
    // send. Both need a reader identified by "Read param"; loading writes nothing. Each says
    // in the status panel what it did, or why not.
    bool saveSettings(const QString& path);
    // Every setting of the file the reader can take, without asking, as restore takes them: a
    // file of another model, or with a value the reader cannot take, is refused whole.
    bool loadSettings(const QString& path);
    // What "Load settings..." does with the file chosen: the dialog of what it would change
    // (LoadSettingsDialog), then the ticked settings into the controls; true when some were put
    // there ("Cancel" and a file that changes nothing change nothing).
    bool reviewSettings(const QString& path);
    void saveSettingsAs();
    void loadSettingsFrom();
    // "Compare with file..." (Ctrl+Shift+D), in the status panel's context menu: after "Read
    // param", a dialog of the settings in which what the window holds and a settings file
    // differ, in the window's words, or "No differences". It writes nothing and changes no
    // control. compareWithFile compares with the file at path; none, with the reason in the
    // status panel, when there is nothing to compare.
    std::optional<device::Comparison> compareWithFile(const QString& path);
    void compareWithFileFrom();
    // The preconditions of the operations that talk to the reader: each logs its refusal.
    bool requirePort();
    bool requireReader();
    // A modal box with one OK button; informative is the system's reason, where there is one.
    void messageBox(const QString& caption, const QString& text, const QString& informative = {});

    // Serial link: link/port_selection.cpp (the exchange itself is the reader layer's).
    // Adds to the port list the ports that can be opened now and were not listed, in their
    // places; the listed ones, and the open one above all, stay as they are.
    void refreshPorts();
    // The open port's device went away.
    void portGone(const QString& name);
    // "Add network port...": asks for the URL, then addNetworkPortUrl().
    void addNetworkPort();
    // Adds url to the port list, after the COM names, once a connection to it has been made
    // and closed again, keeps it for the next start, and picks it; false (and said in a message
    // box) when it is no network port or cannot be reached.
    bool addNetworkPortUrl(const QString& url);
    // "Remove network port": the network port shown in the list goes from it and from what is
    // kept; it is closed first when it is the open one.
    void removeNetworkPort();
    // The port list's tool tip: what was left out, and what its context menu holds.
    void setPortListToolTip(const QString& leftOut);
    // The name of the port the window has open now; empty for none.
    QString portInUse() const;
    // "Bench of readers...": the bench's window, made the first time.
    BenchWindow* showBench();
    BenchWindow* bench() const { return bench_; }
    // The bench is to run on port: the main window lets it go when it holds it, and says why
    // not (empty: the port is the bench's) while a programming run uses it.
    QString lendPort(const QString& port);
    // The bench is done with port: the main window takes back the port it lent.
    void portReturned(const QString& port);
    // The selected port is the bench's now: said in the log; true when it is.
    bool portHeldByBench();
    static QString portMenuHint();
    void cbComSelect(int index);
    void iniCOM(const QString& s);
    static void getCRC16_U(uint8_t* p, int n);
    bool writePage2(const uint8_t* p, int n);
    static bool chkCRCusb16(const uint8_t* p);

    // Output protocol lists: device/protocol_lists.cpp.
    void setTypeProt(uint8_t n, bool f);
    void cbTypeProtChange(int index);
    void cbTypeProt2Change(int index);
    void cobTypeCodeChange(int index);
    void cbWgParityNoClick();

    // "Read param": device/identify.cpp (its three steps, and the first: identification) and
    // device/params.cpp (the parameter block); the filter block in filters/filter_read.cpp.
    void btVersionClick();
    // The reader's identity into the window, and its model's layout; false, with "Device: not
    // detected", for a reader that did not answer as one the table knows.
    bool showIdentity(const device::Configuration& c);
    // What the controls show now (the lists, the open time and the option boxes), read back
    // from them: what the configuration they were drawn from says they show.
    device::ShownControls shownControls() const;
    bool getVersion(uint8_t* p_out);
    void PrintError();
    bool getParamSTCOM(uint8_t* p);

    // Parameter write and factory settings: device/param_write.cpp.
    void btWriteParamClick();
    void btFactorySettingsClick();
    // The option boxes of "Output protocol" and "Format", in the order of device::kOptionKeys.
    std::array<QCheckBox*, device::kOptionKeys.size()> optionBoxes() const;

    // Filter write: filters/filter_write.cpp.
    void btSetFilterClick();
    uint8_t getFilterCmd(uint8_t* p);
    bool transmitCmd(const uint8_t* p, uint8_t n);

    // Firmware update: firmware/open_file.cpp (the image), firmware/boot_entry.cpp ("Go to the
    // BOOT"), firmware/boot_exchange.cpp (one packet), firmware/programming.cpp (the run).
    void btOpenFileClick();
    // Loads the image of the file at path; false (after an error box) when there is none.
    bool loadFirmware(const QString& path);
    void btTSTClick();
    bool writePage(const uint8_t* p, int32_t n);
    void btPGMClick();
    void btStopClick();
    bool runActive() const { return running_; }

    // Filter display: filters/filter_display.cpp.
    bool ParseFilter(const uint8_t* p, uint8_t tp);
    static bool checkFilterV010701(const uint8_t* p);
    void FilterReset();
    void FilterDefault();
    void FilterUnVisible();
    void logickFilter();
    void cbCounterClick();
    void cbFilter1Click();
    void cbFilter2Click();
    void cbMF3Click();
    void cbOTP2Click();

    // The 17 filter boxes, in the order of filters::Box.
    std::array<QCheckBox*, 17> filterBoxes() const;

signals:
    // Every line the log gets, as it gets it.
    void logged(const QString& line);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The programming run: firmware/programming.cpp.
    void beginRun();
    void endRun();
    // The window handles the input and events waiting for it: the one place where a run lets
    // it, between two packets and once more before the controls come back.
    void handleWaitingInput();

    // The steps of "Read param": device/identify.cpp, device/params.cpp, filters/filter_read.cpp.
    void showLayout(const device::Configuration& c);
    void showRead(const device::Configuration& c);  // step by step, to where the read stopped
    void showSettings(const device::Configuration& c);
    void showMode(const device::Configuration& c);
    void showFilterBlock(const device::FilterRead& filters);
    void showFilterChoice(const filters::BoxStates& choice);
    void hideFilterBoxes();  // filters/filter_display.cpp

    void createControls();   // shell/window.cpp
    void connectHandlers();  // shell/qln_boot_pgm.cpp
    QString openDevice_;     // the real device of the open port
    BenchWindow* bench_ = nullptr;
    QString lent_;  // the selected port, while the bench has it
    bool destroyed_ = false;
    bool running_ = false;
    bool closeAfterRun_ = false;
    // What the window holds: the last "Read param"'s configuration with every change made on the
    // controls since (each click changes it), and what a read left as it was. The controls show
    // it; "Write param" sends its request, Save settings records it, Load settings fits a file
    // onto it.
    device::Configuration config_ = [] {
        device::Configuration c;
        c.shown = device::freshWindow();
        return c;
    }();
    bool readComplete_ = false;  // the last "Read param" went through every step
    // The file to load, read; none, with the reason in the status panel.
    std::optional<device::SettingsRecord> settingsToLoad(const QString& path);
    // A fit's settings and filters into the controls and the window's configuration.
    void putIntoControls(const device::Fit& fit);
    // What the last whole read found, for the support record.
    std::optional<device::SettingsRecord> lastRead_;
    device::BackupWriter backups_;  // the backup of every whole read
    // What a read did not set stays as the window held it; the configuration becomes the window's.
    void keepConfiguration(device::Configuration c);
};
