// Port selection and the request/response exchange of the command protocol.

#include <QComboBox>
#include <cstring>

#include "link/commands.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "shell/qln_boot_pgm.h"

namespace {

// The reader's line: 9600 baud, 8 data bits, no parity, one stop bit, binary, no handshake,
// DTR and RTS not asserted.
constexpr uint32_t kReaderBaud = 9600;
constexpr uint32_t kBinaryNoHandshake = 1;
constexpr uint8_t kDataBits = 8;
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOneStopBit = 0;

// The reader's time-outs: a silent reader ends a read of n bytes after 2000 + n ms; once bytes
// flow, a gap of more than 100 ms ends it.
constexpr comlink::Timeouts kReaderTimeouts{
    .readInterval = 100,
    .readTotalPerByte = 1,
    .readTotalConstant = 2000,
    .writeTotalPerByte = 1,
    .writeTotalConstant = 10,
};

}  // namespace

void TForm1::refreshPorts() {
    QStringList listed;
    for (int i = 0; i < cbCom->count(); ++i) listed << cbCom->itemText(i);
    const bool portOpen = hCom && hCom->isOpen();
    // Only names not listed are probed: each probe opens a device, and that raises its modem
    // lines. The open port is never among them, under whatever name.
    const comlink::ProbeResult probe = comlink::probePorts([&](const QString& name) {
        if (listed.contains(name)) return true;
        return portOpen && comlink::realDevicePath(comlink::devicePath(name)) == openDevice_;
    });
    for (const comlink::ProbedPort& port : probe.ports) {
        int at = 0;
        while (at < cbCom->count() &&
               comlink::comNumber(cbCom->itemText(at)) < comlink::comNumber(port.name))
            ++at;
        cbCom->insertItem(at, port.name);
        cbCom->setItemData(at, port.toolTip, Qt::ToolTipRole);
    }
    cbCom->setToolTip(comlink::leftOutHint(probe.leftOut, cbCom->count() > 0));
}

void TForm1::portGone(const QString& name) {
    InfoInfo(name + QStringLiteral(" is gone: plug it back in and pick it again"));
}

void TForm1::cbComSelect(int /*index*/) {
    if (FChoiseCOM && hCom && hCom->isOpen()) hCom->close();
    const QString s = cbCom->currentText();
    iniCOM(s);
    FChoiseCOM = true;
    InfoInfo(QStringLiteral("\u0421\u041E\u041C port selected"));
}

void TForm1::iniCOM(const QString& s) {
    hCom = comlink::makeSerialPort();
    if (!hCom->open(comlink::devicePath(s))) {
        messageBox(QStringLiteral("Error"), s + QStringLiteral("not found"), hCom->errorString());
        return;
    }
    openDevice_ = comlink::realDevicePath(comlink::devicePath(s));
    hCom->setGoneHandler([this, s] { portGone(s); });
    pDCB = hCom->lineSettings();
    pDCB.baudRate = kReaderBaud;
    pDCB.flags = kBinaryNoHandshake;
    pDCB.byteSize = kDataBits;
    pDCB.parity = kNoParity;
    pDCB.stopBits = kOneStopBit;
    if (!hCom->setLineSettings(pDCB)) {
        messageBox(QStringLiteral("Error"), s + QStringLiteral(" busy or incorrect settings"),
                   hCom->errorString());
        return;
    }
    comtime = kReaderTimeouts;
    hCom->setTimeouts(comtime);
}

void TForm1::getCRC16_U(uint8_t* p, int n) {
    comlink::appendSum16(p, static_cast<std::size_t>(n));
}

bool TForm1::chkCRCusb16(const uint8_t* p) {
    return comlink::replySumValid(p);
}

bool TForm1::writePage2(const uint8_t* p, int n) {
    pnt_bfRx = 0;
    FRxCom = false;
    FRxErr = false;
    if (!hCom || !hCom->isOpen()) return false;

    hCom->purgeInput();
    hCom->write(p, n);

    // The reply lands in bfRx only when it came whole: a reply cut short leaves the new header
    // in bytes 0 to 2 and everything from byte 3 on as the earlier reply left it.
    uint8_t header[comlink::kHeaderBytes];
    const comlink::Transfer h = hCom->read(header, comlink::kHeaderBytes);
    if (h.failed() || h.count < comlink::kHeaderBytes) return false;
    std::memcpy(bfRx, header, sizeof header);

    // A length byte below 3 announces less than the header already read: nothing further is
    // read, and no reply counts as complete.
    const int rest = bfRx[2] - comlink::kHeaderBytes;
    if (rest < 0) return false;
    uint8_t body[comlink::kReplyBufferSize];
    const comlink::Transfer b = hCom->read(body, rest);
    if (b.failed() || b.count < rest) return false;
    std::memcpy(bfRx + comlink::kHeaderBytes, body, static_cast<std::size_t>(rest));

    FRxCom = true;
    return true;
}

comlink::Reply TForm1::request(const uint8_t* frame, int n, int minReplyLen) {
    if (!writePage2(frame, n)) return comlink::Reply::None;
    if (!chkCRCusb16(bfRx)) return comlink::Reply::BadSum;
    // A reply too short to hold a status byte has none to judge.
    if (bfRx[2] < comlink::kMinReplyLen) return comlink::Reply::BadSum;
    if (bfRx[comlink::kStatusOffset] != comlink::kStatusAccepted) return comlink::Reply::Refused;
    if (bfRx[2] < minReplyLen) return comlink::Reply::BadSum;
    return comlink::Reply::Accepted;
}

comlink::Reply TForm1::requestAndLog(const uint8_t* frame, int n, int minReplyLen,
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

bool TForm1::readData(const comlink::Command& command, uint8_t* out, const ReplyLines& lines) {
    // The request carries one data byte, zero.
    const auto frame = comlink::oneByteRequest(command, 0x00);
    if (requestAndLog(frame.data(), static_cast<int>(frame.size()), comlink::replyLen(command),
                      lines) != comlink::Reply::Accepted)
        return false;
    std::memcpy(out, bfRx + comlink::kDataOffset, static_cast<std::size_t>(command.replyData));
    return true;
}
