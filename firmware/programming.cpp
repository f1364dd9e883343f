// "PGM" and "Stop": the firmware image programmed block by block into the boot loader. The reader
// layer runs it (firmware/reader_run.cpp); here is the window around it.

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>

#include "shell/bench_window.h"
#include "shell/qln_boot_pgm.h"

namespace {

std::span<const uint8_t> bytesOf(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), static_cast<std::size_t>(a.size())};
}

}  // namespace

void TForm1::btStopClick() {
    FProcessStop = true;
}

void TForm1::btPGMClick() {
    if (!FChoiseCOM) {
        log(QStringLiteral("\u0421\u041E\u041C is not selected"));
        return;
    }
    if (portHeldByBench()) return;
    FProcessStop = false;
    if (!FOPEN) {
        log(QStringLiteral("The file is not selected"));
        return;
    }
    device::RunHooks hooks;
    hooks.stopRequested = [this] {
        // So that a click on "Stop" takes effect.
        handleWaitingInput();
        return FProcessStop;
    };
    hooks.progress = [this](int percent) { ProgressBar1->setValue(percent); };
    hooks.filterRequestAfterRun = [this] {
        return !cbAvtoSetFilter->isHidden() && cbAvtoSetFilter->isChecked();
    };
    hooks.quietFailures = FStop;

    beginRun();
    const device::RunResult result =
        reader_->program(bytesOf(F->buffer()), cbProgPgm->isChecked(), hooks);
    // The run's outcome, which its last log line does not always tell.
    InfoInfo(device::runOutcome(result).text);
    endRun();
}

void TForm1::beginRun() {
    running_ = true;
    ProgressBar1->setValue(0);
    // No other exchange may start on the port, and the image may not change, while the boot
    // loader is being programmed; "Stop" stays live.
    for (QWidget* w : std::initializer_list<QWidget*>{btOpenFile, btTST, btPGM, btVersion,
                                                      btWriteParam, btSetFilter, cbCom}) {
        w->setProperty("enabledBeforeRun", w->isEnabled());
        w->setEnabled(false);
    }
}

void TForm1::handleWaitingInput() {
    QApplication::processEvents(QEventLoop::AllEvents);
}

void TForm1::endRun() {
    // A click that reached the window after its last look between two packets (while the last
    // block or the end frame was on its way) still waits in the queue. It was aimed at a control
    // that was disabled: deliver it while that control still is, so that it is ignored as every
    // other click during the run, and does not start an operation once the run is over.
    handleWaitingInput();
    for (QWidget* w : std::initializer_list<QWidget*>{btOpenFile, btTST, btPGM, btVersion,
                                                      btWriteParam, btSetFilter, cbCom})
        w->setEnabled(w->property("enabledBeforeRun").toBool());
    running_ = false;
    if (closeAfterRun_) close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (running_) {
        // The run is using the port and the image: stop it as "Stop" does, and close when it
        // has ended.
        FProcessStop = true;
        closeAfterRun_ = true;
        event->ignore();
        return;
    }
    // The bench is the main window's: it closes with it, its runs stopped with their end frames.
    if (bench_) bench_->close();
    QWidget::closeEvent(event);
}
