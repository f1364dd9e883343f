// "Set filter": the filter configuration written in the form the reader's model takes.

#include <QCheckBox>

#include "device/model_table.h"
#include "filters/filter_codes.h"
#include "link/commands.h"
#include "shell/qln_boot_pgm.h"

namespace {

filters::BoxStates boxStates(const std::array<QCheckBox*, 17>& boxes) {
    filters::BoxStates s{};
    for (int i = 0; i < filters::kBoxCount; ++i) s[i] = boxes[i]->isChecked();
    return s;
}

}  // namespace

uint8_t TForm1::getFilterCmd(uint8_t* p) {
    std::fill(p, p + filters::kMaxFilterCodes, 0);
    const std::vector<uint8_t> codes = filters::filterCodes(boxStates(filterBoxes()));
    std::copy(codes.begin(), codes.end(), p);
    return static_cast<uint8_t>(codes.size());
}

bool TForm1::transmitCmd(const uint8_t* p, uint8_t n) {
    for (int i = 0; i < n; ++i) {
        const auto frame = comlink::oneByteRequest(comlink::cmd::kFilterCode, p[i]);
        switch (request(frame.data(), static_cast<int>(frame.size()), comlink::kMinReplyLen)) {
            case comlink::Reply::None:
            case comlink::Reply::BadSum:
                log(QStringLiteral("ERROR CS"));
                return false;
            case comlink::Reply::Accepted:
                log(QStringLiteral("OK"));
                continue;
            case comlink::Reply::Refused:
                if (bfRx[comlink::kStatusOffset] == filters::kStatusNotRegistered)
                    log(QStringLiteral("Error: The Object Card mast be registred"));
                else
                    log(QStringLiteral("Error"));
                return false;
        }
    }
    return true;
}

void TForm1::sendSetFilterFrame(const uint8_t* frame, int n) {
    requestAndLog(frame, n, comlink::kMinReplyLen,
                  {"ERROR CS", "ERROR CS", "NO OK. It is necessary to enter the master mode.",
                   "OK: Filter write."});
}

void TForm1::btSetFilterClick() {
    if (!requirePort() || !requireReader()) return;
    switch (device::model(Device).filterWrite) {
        case device::FilterWrite::Unsupported:
            log(QStringLiteral("This command is not supported by this device."));
            return;
        case device::FilterWrite::Codes: {
            uint8_t codes[filters::kMaxFilterCodes];
            const uint8_t n = getFilterCmd(codes);
            if (!transmitCmd(codes, n)) log(QStringLiteral("NO OK"));
            return;
        }
        case device::FilterWrite::Automatic:
            sendAutoFilterRequest();
            return;
        case device::FilterWrite::AutoOrExplicit:
            break;
    }
    if (cbAvtoSetFilter->isChecked()) {
        sendAutoFilterRequest();
        return;
    }
    if (!bRdFilter) {
        log(QStringLiteral("The filter parameters were not read."));
        return;
    }
    const auto frame = filters::explicitFilterFrame(boxStates(filterBoxes()));
    log(QString::fromStdString(comlink::hexString(frame.data(), frame.size() - 2)));
    sendSetFilterFrame(frame.data(), static_cast<int>(frame.size()));
}

void TForm1::sendAutoFilterRequest() {
    const auto frame = comlink::automaticFilterRequest();
    sendSetFilterFrame(frame.data(), static_cast<int>(frame.size()));
}
