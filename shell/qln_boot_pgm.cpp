#include "shell/qln_boot_pgm.h"
#include "shell/bench_window.h"

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QShortcut>
#include <QTextCursor>
#include <QTextDocument>
#include <cmath>

#include "device/model_table.h"
#include "device/support_record.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"

TForm1::TForm1(QWidget* parent)
    : QWidget(parent),
      reader_(std::make_unique<device::Reader>(
          [this](const QString& line) { log(line); },
          [this](const QString& caption, const QString& text, const QString& informative) {
              messageBox(caption, text, informative);
          })),
      FRxCom(reader_->replyCompleteFlag()),
      bfRx(reader_->replyBuffer()) {
    createControls();
    connectHandlers();
    FormCreate();
}

TForm1::~TForm1() {
    FormDestroy();
}

void TForm1::connectHandlers() {
    // activated fires only for the user's choice; a list set by the program runs no handler.
    connect(cbCom, &QComboBox::activated, this, &TForm1::cbComSelect);
    connect(actAddNetworkPort, &QAction::triggered, this, &TForm1::addNetworkPort);
    connect(actRemoveNetworkPort, &QAction::triggered, this, &TForm1::removeNetworkPort);
    connect(actBench, &QAction::triggered, this, &TForm1::showBench);
    connect(cbCom, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        actRemoveNetworkPort->setEnabled(comlink::looksLikeNetworkPort(cbCom->currentText()));
        QMenu menu(this);
        menu.addAction(actAddNetworkPort);
        menu.addAction(actRemoveNetworkPort);
        menu.addSeparator();
        menu.addAction(actBench);
        menu.exec(cbCom->mapToGlobal(at));
    });
    connect(cbTypeProt, &QComboBox::activated, this, &TForm1::cbTypeProtChange);
    connect(cbTypeProt2, &QComboBox::activated, this, &TForm1::cbTypeProt2Change);
    connect(cobTypeCode, &QComboBox::activated, this, &TForm1::cobTypeCodeChange);
    // toggled fires exactly when the checked state changes, by the user or by the program.
    connect(cbWgParityNo, &QCheckBox::toggled, this, &TForm1::cbWgParityNoClick);
    // Every change of a box or of the open time, by the user or by the program, goes into the
    // window's configuration.
    const auto boxes = optionBoxes();
    for (std::size_t i = 0; i < boxes.size(); ++i)
        connect(boxes[i], &QCheckBox::toggled, this,
                [this, i](bool checked) { config_.setOption(i, checked); });
    connect(edTimeOpen, &QLineEdit::textChanged, this,
            [this](const QString& text) { config_.settings.openTimeMs = text.toInt(); });
    config_.settings.openTimeMs = edTimeOpen->text().toInt();
    const auto filterBoxes = this->filterBoxes();
    for (std::size_t i = 0; i < filterBoxes.size(); ++i)
        connect(filterBoxes[i], &QCheckBox::toggled, this,
                [this, i](bool checked) { config_.filterChoice[i] = checked; });
    connect(cbCounter, &QCheckBox::toggled, this, &TForm1::cbCounterClick);
    connect(cbFilter1, &QCheckBox::toggled, this, &TForm1::cbFilter1Click);
    connect(cbFilter2, &QCheckBox::toggled, this, &TForm1::cbFilter2Click);
    connect(cbMF3, &QCheckBox::toggled, this, &TForm1::cbMF3Click);
    connect(cbOTP2, &QCheckBox::toggled, this, &TForm1::cbOTP2Click);

    connect(btVersion, &QPushButton::clicked, this, &TForm1::btVersionClick);
    connect(btWriteParam, &QPushButton::clicked, this, &TForm1::btWriteParamClick);
    connect(btFactorySettings, &QPushButton::clicked, this, &TForm1::btFactorySettingsClick);
    connect(btSetFilter, &QPushButton::clicked, this, &TForm1::btSetFilterClick);
    connect(btOpenFile, &QPushButton::clicked, this, &TForm1::btOpenFileClick);
    connect(btTST, &QPushButton::clicked, this, &TForm1::btTSTClick);
    connect(btPGM, &QPushButton::clicked, this, &TForm1::btPGMClick);
    connect(btStop, &QPushButton::clicked, this, &TForm1::btStopClick);

    // "Save settings..." and "Load settings...": in the status panel's context menu, and on
    // their keys, which leave Ctrl+S to the log.
    auto* saveSettingsKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+S")), this);
    connect(saveSettingsKey, &QShortcut::activated, this, &TForm1::saveSettingsAs);
    auto* loadSettingsKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+O")), this);
    connect(loadSettingsKey, &QShortcut::activated, this, &TForm1::loadSettingsFrom);
    auto* compareKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+D")), this);
    connect(compareKey, &QShortcut::activated, this, &TForm1::compareWithFileFrom);
    pnlState->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(pnlState, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu;
        QAction* save = menu.addAction(QStringLiteral("Save settings..."));
        save->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+S")));
        save->setEnabled(readComplete_);
        QAction* load = menu.addAction(QStringLiteral("Load settings..."));
        load->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+O")));
        load->setEnabled(readComplete_);
        QAction* compare = menu.addAction(QStringLiteral("Compare with file..."));
        compare->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+D")));
        compare->setEnabled(readComplete_);
        menu.addSeparator();
        menu.addAction(actBench);
        QAction* chosen = menu.exec(pnlState->mapToGlobal(at));
        if (chosen == save) saveSettingsAs();
        if (chosen == load) loadSettingsFrom();
        if (chosen == compare) compareWithFileFrom();
    });

    // "Save log...": on Ctrl+S anywhere in the window, and in the log's own context menu.
    auto* save = new QShortcut(QKeySequence::Save, this);
    connect(save, &QShortcut::activated, this, &TForm1::saveLogAs);
    mm->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(mm, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu(mm->createStandardContextMenu(at));
        menu->addSeparator();
        QAction* saveAction = menu->addAction(QStringLiteral("Save log..."));
        saveAction->setShortcut(QKeySequence::Save);
        QAction* supportAction = menu->addAction(QStringLiteral("Save support record..."));
        supportAction->setToolTip(
            QStringLiteral("One file for support: versions, ports, the settings last read, the "
                           "log and the trace of the line"));
        QAction* chosen = menu->exec(mm->viewport()->mapToGlobal(at));
        if (chosen == saveAction) saveLogAs();
        if (chosen == supportAction) saveSupportRecordAs();
    });
}

QString TForm1::chooseFile(const QString& caption, bool save, const QString& filter,
                           const QString& suffix, const QString& suggested) {
    QFileDialog dialog(this, caption, QStringLiteral("."));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters({filter, QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(suffix);
    if (!suggested.isEmpty()) dialog.selectFile(suggested);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

void TForm1::saveLogAs() {
    const QString path =
        chooseFile(QStringLiteral("Save log"), true, QStringLiteral("Text files (*.txt)"),
                   QStringLiteral("txt"), QStringLiteral("torvik-log.txt"));
    if (!path.isEmpty()) saveLog(path);
}

bool TForm1::saveLog(const QString& path) {
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(mm->toPlainText().toUtf8());
        if (f.commit()) {
            InfoInfo(QStringLiteral("Log saved to %1").arg(path));
            return true;
        }
    }
    InfoInfo(QStringLiteral("The log was not saved: %1: %2").arg(path, f.errorString()));
    return false;
}

void TForm1::saveSupportRecordAs() {
    const QString path = chooseFile(QStringLiteral("Save support record"), true,
                                    QStringLiteral("Text files (*.txt)"), QStringLiteral("txt"),
                                    QStringLiteral("torvik-support.txt"));
    if (!path.isEmpty()) saveSupportRecord(path);
}

bool TForm1::saveSupportRecord(const QString& path) {
    device::SupportFacts facts;
    facts.program = QStringLiteral("torvik-config " TORVIK_VERSION);
    const QString inUse = hCom && hCom->isOpen() ? cbCom->currentText() : QString();
    if (!inUse.isEmpty()) facts.portsInUse << inUse;
    // The port in use stays as it is: the others are probed as the port list probes them.
    facts.ports = comlink::probePorts([&](const QString& name) { return name == inUse; });
    if (lastRead_) facts.settings.emplace_back(inUse, *lastRead_);
    facts.logTitle = QStringLiteral("Log");
    facts.log = mm->toPlainText();
    facts.trace = comlink::traceRing();
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(device::supportRecordText(facts).toUtf8());
        if (f.commit()) {
            InfoInfo(QStringLiteral("Support record saved to %1").arg(path));
            return true;
        }
    }
    InfoInfo(QStringLiteral("The support record was not saved: %1: %2").arg(path, f.errorString()));
    return false;
}

void TForm1::FormCreate() {
    Device = 255;
    Fguard = false;

    // Port probe: list every port that can be opened now, in ascending order, and close it.
    refreshPorts();

    hideFilterBoxes();
    for (QWidget* w : std::initializer_list<QWidget*>{cbLocalVantis, cbLocalMPlus, cbLocalCounter})
        w->hide();

    cbProgPgm->show();
    cbProgPgm->setChecked(false);
    cobTypeCode->show();
    cbReverseCode->hide();
    cbBcc7Uid->setChecked(false);
    cbBcc7Uid->hide();
    cbReverseCode->setChecked(false);
    cbLock->hide();
    cbLock->setChecked(false);
    lbLockInGuard->hide();
    cbPolLock->hide();
    cbPolLock->setChecked(false);
    edTimeOpen->hide();
    lbTimeOpen->hide();
    cbPulseOnlyTm->hide();
    cbPulseOnlyTm->setChecked(false);
    FRbFORMAT = false;
    cbWgParityNo->hide();
    cbWgParityNo->setChecked(false);
    cbRs485_232->hide();
    bRdFilter = false;
    FCONNECT = false;
    btWriteParam->setEnabled(false);
    nWiegand = 6;
    setTypeProt(nWiegand, false);
    for (const char* entry : {"Avto", "One TM", "------", "Wiegand"})
        cbTypeProt2->addItem(QString::fromLatin1(entry));
    FMkStop = false;
    FStop = false;
    addr_unit = 11;
    FChoiseCOM = false;
    FOPEN = false;
}

void TForm1::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (FChoiseCOM && hCom) hCom->close();
    reader_->setPort(nullptr);
    hCom.reset();
    if (FOPEN) F.reset();
    FOPEN = false;
}

QColor TForm1::Lighter(const QColor& Color, uint8_t Percent) {
    const QColor rgb = Color.toRgb();
    auto channel = [Percent](int v) {
        const long add = std::lround((255.0 - v) * Percent / 100.0);
        return static_cast<int>((v + add) & 0xFF);
    };
    return QColor(channel(rgb.red()), channel(rgb.green()), channel(rgb.blue()));
}

void TForm1::InfoInfo(const QString& s) {
    QPalette p = pnlState->palette();
    p.setColor(QPalette::Window, Lighter(QColor(0, 0, 255), 20));
    p.setColor(QPalette::WindowText, QColor(255, 0, 0));
    pnlState->setPalette(p);
    pnlState->setAutoFillBackground(true);
    pnlState->setText(s);
}

void TForm1::log(const QString& line) {
    // The log starts with one empty line; every message is a new line at its end.
    // The program's lines are no edit to undo: kept on the undo stack they would grow it by a
    // line's worth with every line for as long as the window is open.
    QTextDocument* doc = mm->document();
    doc->setUndoRedoEnabled(false);
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    end.insertBlock();
    end.insertText(line);
    doc->setUndoRedoEnabled(true);
    mm->verticalScrollBar()->setValue(mm->verticalScrollBar()->maximum());
    emit logged(line);
}

bool TForm1::requirePort() {
    if (FChoiseCOM) return !portHeldByBench();
    // The first three letters are the Cyrillic capitals Es, O and Em, not Latin C, O and M.
    log(QStringLiteral("\u0421\u041E\u041C port is not selected"));
    return false;
}

BenchWindow* TForm1::showBench() {
    if (!bench_) bench_ = new BenchWindow(this);
    bench_->show();
    bench_->raise();
    bench_->activateWindow();
    return bench_;
}

bool TForm1::requireReader() {
    if (Device != device::kNoModel) return true;
    log(QStringLiteral("Device is not known"));
    return false;
}

void TForm1::messageBox(const QString& caption, const QString& text, const QString& informative) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, this);
    if (!informative.isEmpty()) box.setInformativeText(informative);
    box.exec();
}
