// "PGM" and "Stop": the firmware image programmed block by block into the boot loader. The run's
// rules live in firmware/run_machine; here are its packets on the line and the window around it.

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include "device/param_block.h"
#include "firmware/boot_protocol.h"
#include "firmware/run_machine.h"
#include "link/commands.h"
#include "shell/qln_boot_pgm.h"

namespace {

constexpr unsigned long kBeforePacketMs = 20;
constexpr unsigned long kAfterReplyMs = 1;
constexpr unsigned long kBeforeFilterRequestMs = 300;

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
    FProcessStop = false;
    if (!FOPEN) {
        log(QStringLiteral("The file is not selected"));
        return;
    }
    firmware::ProgrammingRun run(bytesOf(F->buffer()), cbProgPgm->isChecked());

    beginRun();
    if (runBlocks(run) == firmware::RunOutcome::Close) closeRun();
    endRun();
}

void TForm1::beginRun() {
    running_ = true;
    comBrokenShown_ = false;
    ProgressBar1->setValue(0);
    // No other exchange may start on the port, and the image may not change, while the boot
    // loader is being programmed; "Stop" stays live.
    for (QWidget* w : std::initializer_list<QWidget*>{btOpenFile, btTST, btPGM, btVersion,
                                                      btWriteParam, btSetFilter, cbCom}) {
        w->setProperty("enabledBeforeRun", w->isEnabled());
        w->setEnabled(false);
    }
}

void TForm1::endRun() {
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
    QWidget::closeEvent(event);
}

// Sends packet after packet until the run closes (the end frame follows) or ends.
firmware::RunOutcome TForm1::runBlocks(firmware::ProgrammingRun& run) {
    for (;;) {
        std::string over;
        if (!run.next(&over)) {
            log(QString::fromStdString(over));
            return firmware::RunOutcome::Close;
        }
        QThread::msleep(kBeforePacketMs);
        const bool replied = writePage(run.packet(), run.packetLength());
        const firmware::Verdict verdict = run.judge(firmware::classifyReply(replied, bfRx));
        for (const std::string& line : verdict.lines) log(QString::fromStdString(line));
        ProgressBar1->setValue(run.percent());
        if (verdict.outcome != firmware::RunOutcome::Continue) return verdict.outcome;

        // Let the window breathe, so that a click on "Stop" takes effect.
        QThread::msleep(kAfterReplyMs);
        QApplication::processEvents(QEventLoop::AllEvents);
        if (FProcessStop) return firmware::RunOutcome::Close;
    }
}

void TForm1::closeRun() {
    const bool replied = writePage(firmware::kEndFrame.data(), firmware::kEndFrame.size());
    const firmware::CloseVerdict verdict =
        firmware::judgeCloseReply(firmware::classifyReply(replied, bfRx));
    log(QString::fromLatin1(verdict.line));
    if (!verdict.confirmed) return;
    if (cbAvtoSetFilter->isHidden() || !cbAvtoSetFilter->isChecked()) return;

    log(QStringLiteral(" The Set filter command was sent"));
    QThread::msleep(kBeforeFilterRequestMs);
    const auto frame = comlink::automaticFilterRequest();
    if (requestAndLog(frame.data(), static_cast<int>(frame.size())) == comlink::Reply::Accepted)
        return;
    // The reader did not take the filters: tell the user whether it is in protected mode.
    uint8_t params[comlink::cmd::kParams.replyData];
    if (getParamSTCOM(params) && params[0] == device::kModeProtected) {
        log(QStringLiteral("protected mode"));
        log(QStringLiteral("Go to master mode"));
    }
}
