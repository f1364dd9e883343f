// Port selection, and the window's names for the reader layer's command exchange.

#include <QComboBox>

#include "device/reader.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"
#include "shell/qln_boot_pgm.h"

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
    const QString path = comlink::portPath(s);
    hCom = comlink::traced(comlink::makeSerialPortFor(path), s);
    reader_->setPort(hCom.get());
    if (!hCom->open(path)) {
        messageBox(QStringLiteral("Error"), s + QStringLiteral("not found"), hCom->errorString());
        return;
    }
    openDevice_ = comlink::realDevicePath(path);
    hCom->setGoneHandler([this, s] { portGone(s); });
    pDCB = device::readerLine(hCom->lineSettings());
    if (!hCom->setLineSettings(pDCB)) {
        messageBox(QStringLiteral("Error"), s + QStringLiteral(" busy or incorrect settings"),
                   hCom->errorString());
        return;
    }
    comtime = device::kReaderTimeouts;
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
    FRxErr = false;
    return reader_->exchangeCommand(p, n);
}
