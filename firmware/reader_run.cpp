// The reader's boot loader: one packet and its reply, and the programming run packet by packet.
// The run's rules live in firmware/run_machine; here are its packets on the line.

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstring>

#include "device/reader.h"
#include "firmware/boot_protocol.h"

namespace device {

namespace {

// The boot loader needs this long after a packet before it answers.
constexpr unsigned long kBootReplyWaitMs = 400;
constexpr int kRequestTailLen = firmware::kBlockRequestLen - firmware::kStatusReplyLen;
constexpr unsigned long kBeforePacketMs = 20;
constexpr unsigned long kAfterReplyMs = 1;
constexpr unsigned long kBeforeFilterRequestMs = 300;

// The reply that shows the boot loader took the packet: an accepting status, or a request for
// the next block.
bool accepts(const firmware::BootReply& r) {
    if (r.kind == firmware::BootReply::Kind::BlockRequest) return true;
    return r.kind == firmware::BootReply::Kind::Status &&
           (r.status == firmware::kAccepted || r.status == firmware::kAcceptedStopNext ||
            r.status == firmware::kAcceptedNewType);
}

// Why the run ended, from the line that ended it.
RunEnd endOf(const std::string& line) {
    if (line == "Given all") return RunEnd::GivenAll;
    if (line == "File size exceeded!") return RunEnd::FileSizeExceeded;
    if (line == "END OF PGM") return RunEnd::EndOfPgm;
    if (line == "Stop scan") return RunEnd::StopScan;
    // The block after a "+ STOP" was accepted: the boot loader asked for the end frame.
    return RunEnd::LoaderClosed;
}

std::atomic<Pauser> pauser{nullptr};

}  // namespace

void pause(unsigned long ms, const std::function<bool()>& stop) {
    if (const Pauser p = pauser.load()) return p(ms);
    if (!stop) return QThread::msleep(ms);
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = static_cast<qint64>(ms); left > 0 && !stop();
         left = static_cast<qint64>(ms) - clock.elapsed())
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 10)));
}

void setPauser(Pauser p) {
    pauser = p;
}

RunOutcome runOutcome(const RunResult& r) {
    RunOutcome o;
    const QString bytes = QStringLiteral("%1 of %2 bytes").arg(r.bytesAccepted).arg(r.imageBytes);
    const bool filtersTaken = !r.filterRequest || *r.filterRequest == comlink::Reply::Accepted;
    switch (r.end) {
        case RunEnd::GivenAll:
            o.delivered = r.endFrameConfirmed && filtersTaken;
            break;
        case RunEnd::EndOfPgm:
            o.delivered = r.everyBlockAnswered && filtersTaken;
            if (!r.everyBlockAnswered) {
                o.text = QStringLiteral(
                             "Not delivered: the boot loader ended (END OF PGM) before it had "
                             "asked for the whole image; %1 accepted")
                             .arg(bytes);
                return o;
            }
            break;
        case RunEnd::Stopped:
            o.text = QStringLiteral("Stopped: %1 accepted").arg(bytes);
            return o;
        case RunEnd::FileSizeExceeded:
            o.text = QStringLiteral(
                         "Not delivered: the boot loader asked for a block past the image "
                         "(File size exceeded!), the wrong image for this reader; %1 accepted")
                         .arg(bytes);
            return o;
        case RunEnd::StopScan:
            o.text = QStringLiteral(
                         "Not delivered: seven packets in a row failed (Stop scan); %1 accepted")
                         .arg(bytes);
            return o;
        case RunEnd::LoaderClosed:
            // The boot loader asked to end ("+ STOP"): delivered only if it had all of it.
            o.delivered = r.bytesAccepted >= r.imageBytes && r.endFrameConfirmed && filtersTaken;
            break;
    }
    if (o.delivered) {
        o.text = QStringLiteral("Firmware delivered: %1").arg(bytes);
    } else if (r.endFrameSent && !r.endFrameConfirmed) {
        o.text = QStringLiteral(
                     "Not delivered: the boot loader did not confirm the end frame; %1 "
                     "accepted")
                     .arg(bytes);
    } else if (!filtersTaken) {
        o.text = QStringLiteral(
                     "Firmware sent (%1), but the reader did not take the automatic "
                     "filter request")
                     .arg(bytes);
    } else {
        o.text = QStringLiteral("Not delivered: %1 accepted").arg(bytes);
    }
    return o;
}

bool Reader::exchangeBootPacket(const uint8_t* p, int32_t n, bool quietFailure) {
    rxComplete_ = false;
    if (!port_ || !port_->isOpen()) return false;
    port_->purgeInput();
    port_->write(p, n);
    pause(kBootReplyWaitMs);

    bool received = false;
    bool readFailed = false;
    uint8_t head[firmware::kStatusReplyLen];
    const comlink::Transfer first = port_->read(head, firmware::kStatusReplyLen);
    if (first.failed()) {
        readFailed = true;
    } else {
        std::memcpy(rx_, head, static_cast<std::size_t>(first.count));
        if (first.count == firmware::kStatusReplyLen) {
            if (firmware::isBlockRequest(head)) {
                // A block request counts only whole: its number stands in its last bytes, and
                // bytes left by an earlier reply must never stand in for them.
                uint8_t tail[kRequestTailLen];
                const comlink::Transfer rest = port_->read(tail, kRequestTailLen);
                if (rest.failed()) {
                    readFailed = true;
                } else if (rest.count == kRequestTailLen) {
                    std::memcpy(rx_ + firmware::kStatusReplyLen, tail, kRequestTailLen);
                    received = true;
                }
            } else {
                received = true;
            }
        }
    }
    if (readFailed) {
        // Once per programming run: a port that has gone fails every packet after it.
        if (!inRun_ || !comBrokenShown_)
            box(QStringLiteral("Error"), QStringLiteral("COM is broken"));
        comBrokenShown_ = inRun_;
        return false;
    }
    if (!received && !quietFailure) log(QStringLiteral("Error wr ---  0"));
    rxComplete_ = received;
    return received;
}

RunResult Reader::program(std::span<const uint8_t> image, bool progPgm, const RunHooks& hooks) {
    firmware::ProgrammingRun run(image, progPgm);
    RunResult result;
    result.imageBytes = static_cast<int64_t>(image.size());
    inRun_ = true;
    comBrokenShown_ = false;

    // The new-type blocks that the image has and that must each be answered by a request.
    const int64_t size = static_cast<int64_t>(image.size());
    std::vector<bool> answered(
        size > 0 ? static_cast<std::size_t>((size - 1) / firmware::kNewBlockData) : 0);

    // Packet after packet, until the run closes (the end frame follows) or ends.
    bool close = true;
    for (;;) {
        std::string over;
        const firmware::RunState before = run.state();
        if (!run.next(&over)) {
            log(QString::fromStdString(over));
            result.end = endOf(over);
            break;
        }
        // What of the image this packet carries: none in the PROG request.
        const firmware::RunState& at = run.state();
        const int64_t carried =
            at.progPending ? 0
            : at.newType
                ? firmware::kNewBlockData
                : at.readEnd - static_cast<int64_t>(before.blockCounter) * firmware::kOldBlockData;
        const bool sentNewType = at.newType;
        const uint16_t sentBlock = at.requestedBlock;
        pause(kBeforePacketMs);
        const bool replied =
            exchangeBootPacket(run.packet(), run.packetLength(), hooks.quietFailures);
        const firmware::BootReply reply = firmware::classifyReply(replied, rx_);
        const firmware::Verdict verdict = run.judge(reply);
        if (accepts(reply) && hooks.accepted) hooks.accepted();
        if (carried > 0 && accepts(reply)) {
            ++result.blocksAccepted;
            result.bytesAccepted += carried;
            if (sentNewType && reply.kind == firmware::BootReply::Kind::BlockRequest &&
                sentBlock < answered.size())
                answered[sentBlock] = true;
        }
        for (const std::string& line : verdict.lines) log(QString::fromStdString(line));
        if (hooks.progress) hooks.progress(run.percent());
        if (verdict.outcome != firmware::RunOutcome::Continue) {
            result.end = endOf(verdict.lines.back());
            close = verdict.outcome == firmware::RunOutcome::Close;
            break;
        }
        pause(kAfterReplyMs);
        if (hooks.stopRequested && hooks.stopRequested()) {
            result.end = RunEnd::Stopped;
            break;
        }
    }
    if (close) sendEndFrame(result, hooks.quietFailures);
    inRun_ = false;
    result.newType = run.state().newType;
    result.everyBlockAnswered =
        std::all_of(answered.begin(), answered.end(), [](bool b) { return b; });
    if (!result.endFrameConfirmed || !hooks.filterRequestAfterRun || !hooks.filterRequestAfterRun())
        return result;

    log(QStringLiteral(" The Set filter command was sent"));
    pause(kBeforeFilterRequestMs);
    const auto frame = comlink::automaticFilterRequest();
    result.filterRequest = requestAndLog(frame.data(), static_cast<int>(frame.size()));
    if (*result.filterRequest == comlink::Reply::Accepted) return result;
    // The reader did not take the filters: tell the user whether it is in protected mode.
    uint8_t params[comlink::cmd::kParams.replyData];
    if (readData(comlink::cmd::kParams, params, kPlainReplyLines) == comlink::Reply::Accepted &&
        params[0] == kModeProtected) {
        log(QStringLiteral("protected mode"));
        log(QStringLiteral("Go to master mode"));
    }
    return result;
}

void Reader::sendEndFrame(RunResult& result, bool quietFailures) {
    result.endFrameSent = true;
    const bool replied =
        exchangeBootPacket(firmware::kEndFrame.data(), firmware::kEndFrame.size(), quietFailures);
    const firmware::CloseVerdict verdict =
        firmware::judgeCloseReply(firmware::classifyReply(replied, rx_));
    log(QString::fromLatin1(verdict.line));
    result.endFrameConfirmed = verdict.confirmed;
}

RunResult Reader::stopBeforeFirstPacket(int64_t imageBytes) {
    RunResult result;
    result.imageBytes = imageBytes;
    inRun_ = true;
    comBrokenShown_ = false;
    sendEndFrame(result, false);
    inRun_ = false;
    return result;
}

}  // namespace device
