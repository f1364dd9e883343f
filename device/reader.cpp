#include "device/reader.h"

#include <cstring>

#include "device/protocol_lists.h"
#include "filters/filter_codes.h"
#include "firmware/boot_protocol.h"

namespace device {

namespace {

// The reader's line: 9600 baud, 8 data bits, no parity, one stop bit, binary, no handshake,
// DTR and RTS not asserted.
constexpr uint32_t kReaderBaud = 9600;
constexpr uint32_t kBinaryNoHandshake = 1;
constexpr uint8_t kDataBits = 8;
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOneStopBit = 0;

constexpr uint32_t kVersionWithAllFiltersTest = 0x10701;  // 1.7.1

}  // namespace

comlink::LineSettings readerLine(comlink::LineSettings line) {
    line.baudRate = kReaderBaud;
    line.flags = kBinaryNoHandshake;
    line.byteSize = kDataBits;
    line.parity = kNoParity;
    line.stopBits = kOneStopBit;
    return line;
}

QString hexText(const uint8_t* p, std::size_t n) {
    return QString::fromStdString(comlink::hexString(p, n));
}

bool configureReaderLine(comlink::SerialPort& port) {
    if (!port.setLineSettings(readerLine(port.lineSettings()))) return false;
    port.setTimeouts(kReaderTimeouts);
    return true;
}

Reader::Reader(LogSink log, BoxSink box) : log_(std::move(log)), box_(std::move(box)) {}

void Reader::log(const QString& line) const {
    if (log_) log_(line);
}

void Reader::box(const QString& caption, const QString& text, const QString& informative) const {
    if (box_) box_(caption, text, informative);
}

bool Reader::exchangeCommand(const uint8_t* p, int n) {
    rxComplete_ = false;
    if (!port_ || !port_->isOpen()) return false;

    port_->purgeInput();
    port_->write(p, n);

    // The reply lands in the buffer only when it came whole: a reply cut short leaves the new
    // header in bytes 0 to 2 and everything from byte 3 on as the earlier reply left it.
    rawReply_.clear();
    uint8_t header[comlink::kHeaderBytes];
    const comlink::Transfer h = port_->read(header, comlink::kHeaderBytes);
    if (h.count > 0) rawReply_.assign(header, header + h.count);
    if (h.failed() || h.count < comlink::kHeaderBytes) return false;
    std::memcpy(rx_, header, sizeof header);

    // A length byte below 3 announces less than the header already read: nothing further is
    // read, and no reply counts as complete.
    const int rest = rx_[2] - comlink::kHeaderBytes;
    if (rest < 0) return false;
    uint8_t body[comlink::kReplyBufferSize];
    const comlink::Transfer b = port_->read(body, rest);
    if (b.count > 0) rawReply_.insert(rawReply_.end(), body, body + b.count);
    if (b.failed() || b.count < rest) return false;
    std::memcpy(rx_ + comlink::kHeaderBytes, body, static_cast<std::size_t>(rest));

    rxComplete_ = true;
    return true;
}

comlink::Reply Reader::request(const uint8_t* frame, int n, int minReplyLen) {
    lastReply_ = judge(frame, n, minReplyLen);
    return lastReply_;
}

comlink::Reply Reader::judge(const uint8_t* frame, int n, int minReplyLen) {
    if (!exchangeCommand(frame, n)) return comlink::Reply::None;
    if (!comlink::replySumValid(rx_)) return comlink::Reply::BadSum;
    // A reply too short to hold a status byte has none to judge.
    if (rx_[2] < comlink::kMinReplyLen) return comlink::Reply::BadSum;
    if (rx_[comlink::kStatusOffset] != comlink::kStatusAccepted) return comlink::Reply::Refused;
    if (rx_[2] < minReplyLen) return comlink::Reply::BadSum;
    return comlink::Reply::Accepted;
}

comlink::Reply Reader::requestAndLog(const uint8_t* frame, int n, int minReplyLen,
                                     const ReplyLines& lines) {
    const comlink::Reply reply = request(frame, n, minReplyLen);
    const char* line = lines.accepted;
    switch (reply) {
        case comlink::Reply::None:
            line = lines.none;
            break;
        case comlink::Reply::BadSum:
            line = lines.badSum;
            break;
        case comlink::Reply::Refused:
            line = lines.refused;
            break;
        case comlink::Reply::Accepted:
            break;
    }
    log(QString::fromUtf8(line));
    return reply;
}

comlink::Reply Reader::readData(const comlink::Command& command, uint8_t* out,
                                const ReplyLines& lines) {
    const auto frame = comlink::oneByteRequest(command, 0x00);
    const comlink::Reply reply = requestAndLog(frame.data(), static_cast<int>(frame.size()),
                                               comlink::replyLen(command), lines);
    if (reply == comlink::Reply::Accepted)
        std::memcpy(out, rx_ + comlink::kDataOffset, static_cast<std::size_t>(command.replyData));
    return reply;
}

std::optional<BootLoaderAnswer> Reader::bootLoaderAnswer() {
    std::vector<uint8_t> raw = rawReply_;
    if (raw.empty() || raw.size() >= firmware::kBlockRequestLen) {
        // Judged as it stands.
    } else if (port_ && port_->isOpen()) {
        // A status reply or a block request is longer than the header that the exchange read:
        // its rest arrives within the reader's time-out.
        uint8_t more[firmware::kBlockRequestLen];
        const int wanted = firmware::kBlockRequestLen - static_cast<int>(raw.size());
        // Only where the bytes so far begin what the boot loader really sends: "ASK1" of a
        // request, or one of its status codes and two zero bytes; anything else is judged as it
        // stands, without a wait.
        const int have = static_cast<int>(raw.size());
        const int n = !firmware::beginsLoaderAnswer(raw.data(), have) ? 0
                      : raw[0] == firmware::kAsk1[0]                  ? wanted
                                                     : firmware::kStatusReplyLen - have;
        if (n > 0) {
            const comlink::Transfer t = port_->read(more, n);
            if (t.count > 0) raw.insert(raw.end(), more, more + t.count);
        }
    }
    if (raw.size() >= static_cast<std::size_t>(firmware::kBlockRequestLen) &&
        firmware::isBlockRequest(raw.data()))
        return BootLoaderAnswer{true};
    if (raw.size() == static_cast<std::size_t>(firmware::kStatusReplyLen) &&
        firmware::beginsLoaderAnswer(raw.data(), firmware::kStatusReplyLen))
        return BootLoaderAnswer{false};
    return std::nullopt;
}

Identity Reader::identify() {
    Identity who;
    who.reply = readData(comlink::cmd::kVersion, who.version.data(),
                         {"no connection (VER)", "ERROR CS", "NO OK", "OK"});
    if (who.reply != comlink::Reply::Accepted) return who;
    const auto& v = who.version;
    // The model code first, then the firmware version from its most significant part.
    log(QStringLiteral("VERSION  %1.%2.%3.%4").arg(v[3]).arg(v[2]).arg(v[1]).arg(v[0]));
    who.row = modelRow(v[3]);
    if (who.row) log(QStringLiteral("model: ") + QString::fromLatin1(who.row->logName));
    return who;
}

ParamRead Reader::readParams(const Identity& who) {
    ParamRead r;
    r.reply = readData(comlink::cmd::kParams, r.block.data(), kPlainReplyLines);
    if (r.reply != comlink::Reply::Accepted) return r;
    r.decoded = decodeParamBlock(r.block.data());
    const ModelRow& m = who.row ? *who.row : model(kNoModel);
    const OutputSettings& s = r.decoded.settings;
    // The protocol list right after "Read param" laid it out: the names with parity bits, as many
    // as the model offers; an entry beyond them shows no name.
    const int entries = shownControls(m, who.version[0], who.version[1]).protocolCount;
    const QString protocolName =
        QString::fromLatin1(protocolEntry(s.protocol < entries ? s.protocol : -1, false));
    auto logProtocol = [&](const QString& name) {
        log(s.protocol != kProtocolUndefined ? name
                                             : QStringLiteral("The Protocol is not defined"));
    };
    if (m.layout == Layout::ShortBlock) {
        logProtocol(protocolName);
        return r;
    }
    const uint8_t* b = r.block.data();
    // Bytes 5 down to 0, the open time first.
    const uint8_t shown[6] = {b[5], b[4], b[3], b[2], b[1], b[0]};
    log(QStringLiteral("PARAM  ") + hexText(shown, 6));
    log(QStringLiteral("Mode: ") + modeName(r.decoded.mode, QStringLiteral("not defined")) +
        QLatin1Char('.'));
    if (m.keyManagement && r.decoded.masterKey) log(QStringLiteral("Master KEY."));
    logProtocol(protocolName);
    logProtocol(QString::fromLatin1(kTypeCodeEntries[s.typecode]));
    return r;
}

FilterRead Reader::readFilters(const Identity& who) {
    FilterRead r;
    r.reply = readData(comlink::cmd::kReadFilter, r.block.data(),
                       {"FILTER ERROR CS", "FILTER ERROR CS",
                        "The filter not read. It is necessary to enter the master mode.", "OK"});
    if (r.reply != comlink::Reply::Accepted) return r;
    const uint8_t* b = r.block.data();
    log(QStringLiteral("FILTER READ"));
    log(hexText(b, 16));
    log(hexText(b + 16, 16));
    if (who.version32() == kVersionWithAllFiltersTest && filters::allFiltersInstalled(b))
        log(QStringLiteral("All filters are installed."));
    r.signatureValid = filters::signatureValid(b);
    const ModelRow& m = who.row ? *who.row : model(kNoModel);
    if (r.signatureValid) r.choice = decodeFilterBlock(b, m.zeroPolarity);
    return r;
}

comlink::Reply Reader::writeParams(uint8_t device, const OutputSettings& s, uint16_t openTime) {
    uint8_t frame[13];
    const int n = buildParamWrite(frame, device, s, openTime);
    return requestAndLog(frame, n);
}

comlink::Reply Reader::sendSetFilterFrame(const uint8_t* frame, int n) {
    return requestAndLog(frame, n, comlink::kMinReplyLen,
                         {"ERROR CS", "ERROR CS",
                          "NO OK. It is necessary to enter the master mode.", "OK: Filter write."});
}

comlink::Reply Reader::sendAutomaticFilterRequest() {
    const auto frame = comlink::automaticFilterRequest();
    return sendSetFilterFrame(frame.data(), static_cast<int>(frame.size()));
}

bool Reader::transmitCodes(const uint8_t* codes, int n) {
    for (int i = 0; i < n; ++i) {
        const auto frame = comlink::oneByteRequest(comlink::cmd::kFilterCode, codes[i]);
        switch (request(frame.data(), static_cast<int>(frame.size()), comlink::kMinReplyLen)) {
            case comlink::Reply::None:
            case comlink::Reply::BadSum:
                log(QStringLiteral("ERROR CS"));
                return false;
            case comlink::Reply::Accepted:
                log(QStringLiteral("OK"));
                continue;
            case comlink::Reply::Refused:
                if (rx_[comlink::kStatusOffset] == filters::kStatusNotRegistered)
                    log(QStringLiteral("Error: The Object Card mast be registred"));
                else
                    log(QStringLiteral("Error"));
                return false;
        }
    }
    return true;
}

namespace {

FilterWriteVerdict verdictOf(comlink::Reply r) {
    switch (r) {
        case comlink::Reply::Accepted:
            return FilterWriteVerdict::Accepted;
        case comlink::Reply::Refused:
            return FilterWriteVerdict::Refused;
        case comlink::Reply::None:
        case comlink::Reply::BadSum:
            break;
    }
    return FilterWriteVerdict::NoAnswer;
}

}  // namespace

FilterWriteVerdict Reader::setFilters(uint8_t device, const filters::BoxStates& choice,
                                      bool automatic, bool filtersRead) {
    switch (model(device).filterWrite) {
        case FilterWrite::Unsupported:
            log(QStringLiteral("This command is not supported by this device."));
            return FilterWriteVerdict::Unsupported;
        case FilterWrite::Codes: {
            const std::vector<uint8_t> codes = filters::filterCodes(choice);
            if (transmitCodes(codes.data(), static_cast<int>(codes.size())))
                return FilterWriteVerdict::Accepted;
            log(QStringLiteral("NO OK"));
            return verdictOf(lastReply_);
        }
        case FilterWrite::Automatic:
            return verdictOf(sendAutomaticFilterRequest());
        case FilterWrite::AutoOrExplicit:
            break;
    }
    if (automatic) return verdictOf(sendAutomaticFilterRequest());
    if (!filtersRead) {
        log(QStringLiteral("The filter parameters were not read."));
        return FilterWriteVerdict::NotRead;
    }
    const auto frame = filters::explicitFilterFrame(choice);
    log(hexText(frame.data(), frame.size() - 2));
    return verdictOf(sendSetFilterFrame(frame.data(), static_cast<int>(frame.size())));
}

comlink::Reply Reader::enterBootLoader() {
    const auto frame = comlink::bootEntryRequest();
    return requestAndLog(frame.data(), static_cast<int>(frame.size()));
}

}  // namespace device
