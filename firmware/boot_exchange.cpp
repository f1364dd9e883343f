// One packet to the boot loader and its reply.

#include <QThread>
#include <cstring>

#include "firmware/boot_protocol.h"
#include "shell/qln_boot_pgm.h"

namespace {
// The boot loader needs this long after a packet before it answers.
constexpr unsigned long kBootReplyWaitMs = 400;
constexpr int kRequestTailLen = firmware::kBlockRequestLen - firmware::kStatusReplyLen;
}  // namespace

bool TForm1::writePage(const uint8_t* p, int32_t n) {
    FRxCom = false;
    if (!hCom || !hCom->isOpen()) return false;
    hCom->purgeInput();
    hCom->write(p, n);
    QThread::msleep(kBootReplyWaitMs);

    bool received = false;
    bool readFailed = false;
    uint8_t head[firmware::kStatusReplyLen];
    const comlink::Transfer first = hCom->read(head, firmware::kStatusReplyLen);
    if (first.failed()) {
        readFailed = true;
    } else {
        std::memcpy(bfRx, head, static_cast<std::size_t>(first.count));
        if (first.count == firmware::kStatusReplyLen) {
            if (firmware::isBlockRequest(head)) {
                // A block request counts only whole: its number stands in its last bytes, and
                // bytes left by an earlier reply must never stand in for them.
                uint8_t tail[kRequestTailLen];
                const comlink::Transfer rest = hCom->read(tail, kRequestTailLen);
                if (rest.failed()) {
                    readFailed = true;
                } else if (rest.count == kRequestTailLen) {
                    std::memcpy(bfRx + firmware::kStatusReplyLen, tail, kRequestTailLen);
                    received = true;
                }
            } else {
                received = true;
            }
        }
    }
    if (readFailed) {
        // Once per programming run: a port that has gone fails every packet after it.
        if (!running_ || !comBrokenShown_)
            messageBox(QStringLiteral("Error"), QStringLiteral("COM is broken"));
        comBrokenShown_ = running_;
        return false;
    }
    if (!received && !FStop) log(QStringLiteral("Error wr ---  0"));
    FRxCom = received;
    return received;
}
