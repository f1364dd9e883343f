// "PGM" and "Stop": the firmware image programmed block by block into the boot loader.
//
// The boot loader drives the run. An old-type boot loader takes numbered 132-byte blocks in
// order and answers each with a status; a new-type one asks for the 262-byte block it wants
// next and ends by asking for block 999. The run starts old-type unless "PROG pgm" is ticked,
// and turns new-type for good on status 0xAD or on any block request.

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <cstring>

#include "filters/filter_write.h"
#include "firmware/boot_protocol.h"
#include "link/frame.h"
#include "shell/qln_boot_pgm.h"

namespace {

constexpr unsigned long kBeforePacketMs = 20;
constexpr unsigned long kAfterReplyMs = 1;
constexpr unsigned long kBeforeFilterRequestMs = 300;
constexpr int kMaxFailures = 6;  // the seventh failure in a row ends the run
constexpr uint8_t kModeProtected = 1;

}  // namespace

struct TForm1::Run {
    int32_t blockCounter = 0;     // the next old-type block; raised by 0xAB, 0xAC and 0xAD
    uint16_t requestedBlock = 0;  // the new-type block the boot loader asked for last
    bool newType = false;
    bool progPending = false;
    bool stopAfterNext = false;  // set by 0xAC: the next accepted block closes the run
    int32_t failures = 0;
    uint8_t buf[firmware::kSendBufferSize] = {};

    enum class Outcome { Continue, Close, End };
};

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
    F->seek(0);
    Run run;
    run.newType = cbProgPgm->isChecked();
    run.progPending = run.newType;

    beginRun();
    if (blockStep(run)) closeRun();
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

void TForm1::showProgress(const Run& run) {
    const qint64 size = F->size();
    if (size <= 0) return;
    qint64 percent = 0;
    if (run.newType) {
        const qint64 blocks = (size + firmware::kNewBlockData - 1) / firmware::kNewBlockData;
        percent = run.requestedBlock * 100 / blocks;
    } else {
        percent = static_cast<qint64>(run.blockCounter) * firmware::kOldBlockData * 100 / size;
    }
    ProgressBar1->setValue(static_cast<int>(std::clamp<qint64>(percent, 0, 100)));
}

// Runs block steps until the run closes (true: the end frame follows) or ends (false).
bool TForm1::blockStep(Run& run) {
    for (;;) {
        // 1. The end test. An old-type run is over once the block that holds the image's last
        // byte was accepted: a block refused or unanswered is sent again, the last one too. A run
        // that turned new-type after the last old-type block was read is over as well.
        const bool allAccepted =
            run.newType
                ? F->pos() >= F->size()
                : static_cast<qint64>(run.blockCounter) * firmware::kOldBlockData >= F->size();
        if (allAccepted) {
            log(QStringLiteral("Given all"));
            return true;
        }
        // 2. The next piece of the image.
        if (run.newType) {
            if ((run.requestedBlock + 1) * firmware::kNewBlockData >= F->size()) {
                log(QStringLiteral("File size exceeded!"));
                return true;
            }
            F->seek(static_cast<qint64>(run.requestedBlock) * firmware::kNewBlockData);
            F->read(reinterpret_cast<char*>(run.buf), firmware::kNewBlockData);
        } else {
            F->seek(static_cast<qint64>(run.blockCounter) * firmware::kOldBlockData);
            const qint64 got = F->read(reinterpret_cast<char*>(run.buf + firmware::kOldDataOffset),
                                       firmware::kOldBlockData);
            // A short last piece is filled up as erased flash reads.
            std::memset(
                run.buf + firmware::kOldDataOffset + std::max<qint64>(got, 0), 0xFF,
                static_cast<std::size_t>(firmware::kOldBlockData - std::max<qint64>(got, 0)));
        }
        // 3. The packet.
        int32_t n = 0;
        if (!run.newType) {
            firmware::finishOldBlock(run.buf, run.blockCounter);
            n = firmware::kOldBlockLen;
        } else if (run.progPending) {
            std::copy(firmware::kProgRequest.begin(), firmware::kProgRequest.end(), run.buf);
            n = static_cast<int32_t>(firmware::kProgRequest.size());
        } else {
            n = firmware::makeSlipPkt(run.buf, run.buf);
        }
        QThread::msleep(kBeforePacketMs);
        const bool replied = writePage(run.buf, n);

        // 4. The reply.
        Run::Outcome outcome = Run::Outcome::Continue;
        bool failed = false;
        const firmware::BootReply reply = firmware::classifyReply(replied, bfRx);
        if (reply.kind == firmware::BootReply::Kind::BlockRequest) {
            const uint16_t r = reply.block;
            if (r == firmware::kLastBlockRequest) {
                log(QStringLiteral("END OF PGM"));
                outcome = Run::Outcome::End;
            } else {
                log(QStringLiteral("passed %1 block old type").arg(r));
                run.requestedBlock = r;
                run.newType = true;
                run.progPending = false;
                run.failures = 0;
            }
        } else if (reply.kind == firmware::BootReply::Kind::Status) {
            const int32_t N = run.blockCounter;
            switch (reply.status) {
                case firmware::kNak:
                    log(QStringLiteral("NAK"));
                    run.failures = 0;
                    break;
                case firmware::kAccepted:
                    log(QStringLiteral("passed %1 block").arg(N));
                    run.failures = 0;
                    ++run.blockCounter;
                    if (run.stopAfterNext) outcome = Run::Outcome::Close;
                    break;
                case firmware::kAcceptedStopNext:
                    log(QStringLiteral("passed %1 block + STOP").arg(N));
                    run.failures = 0;
                    run.stopAfterNext = true;
                    ++run.blockCounter;
                    break;
                case firmware::kAcceptedNewType:
                    log(QStringLiteral("passed %1 block new type").arg(N));
                    run.failures = 0;
                    ++run.blockCounter;
                    run.newType = true;
                    if (run.stopAfterNext) outcome = Run::Outcome::Close;
                    break;
                default:
                    log(QStringLiteral("error"));
                    failed = true;
                    break;
            }
        } else {
            // No reply, or four bytes that are neither a status nor a block request.
            log(QStringLiteral("No connection"));
            failed = true;
        }
        if (failed && ++run.failures > kMaxFailures) {
            log(QStringLiteral("Stop scan"));
            return false;
        }
        showProgress(run);
        if (outcome == Run::Outcome::Close) return true;
        if (outcome == Run::Outcome::End) return false;

        // 5. Let the window breathe, so that a click on "Stop" takes effect.
        QThread::msleep(kAfterReplyMs);
        QApplication::processEvents(QEventLoop::AllEvents);
        if (FProcessStop) return true;
    }
}

void TForm1::closeRun() {
    const bool replied = writePage(firmware::kEndFrame.data(), firmware::kEndFrame.size());
    const firmware::BootReply reply = firmware::classifyReply(replied, bfRx);
    if (reply.kind != firmware::BootReply::Kind::Status) {
        log(QStringLiteral("No connection"));
        return;
    }
    switch (reply.status) {
        case firmware::kNak:
            log(QStringLiteral("NAK"));
            return;
        case firmware::kAccepted:
            log(QStringLiteral("Transmission OK"));
            break;
        default:
            log(QStringLiteral("error"));
            return;
    }
    if (cbAvtoSetFilter->isHidden() || !cbAvtoSetFilter->isChecked()) return;

    log(QStringLiteral(" The Set filter command was sent"));
    QThread::msleep(kBeforeFilterRequestMs);
    uint8_t frame[7];
    const uint8_t automatic = 0x00;
    comlink::buildFrame(frame, comlink::kHeaderCommand, filters::kSetFilterCommand, &automatic, 1);
    if (requestAndLog(frame, 7) == comlink::Reply::Accepted) return;
    // The reader did not take the filters: tell the user whether it is in protected mode.
    uint8_t params[9];
    if (getParamSTCOM(params) && params[0] == kModeProtected) {
        log(QStringLiteral("protected mode"));
        log(QStringLiteral("Go to master mode"));
    }
}
