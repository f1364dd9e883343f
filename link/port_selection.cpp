// Port selection, and the window's names for the reader layer's command exchange.

#include <QAbstractItemView>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>

#include "device/reader.h"
#include "link/network_port.h"
#include "link/port_names.h"
#include "link/probe.h"
#include "link/trace.h"
#include "shell/bench_window.h"
#include "shell/qln_boot_pgm.h"

namespace {

// The list's drop-down is as wide as its longest entry (a URL is longer than the list), so that
// no entry is cut; the list itself keeps its place and size.
void fitPortListPopup(QComboBox* list) {
    int widest = list->width();
    const QFontMetrics metrics(list->view()->font());
    for (int i = 0; i < list->count(); ++i)
        widest = std::max(widest, metrics.horizontalAdvance(list->itemText(i)) + 24);
    list->view()->setMinimumWidth(widest);
}

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
    // The COM names in order, then the network ports in the order they were added.
    for (const comlink::ProbedPort& port : probe.ports) {
        int at = 0;
        while (at < cbCom->count() && comlink::comNumber(cbCom->itemText(at)) > 0 &&
               comlink::comNumber(cbCom->itemText(at)) < comlink::comNumber(port.name))
            ++at;
        cbCom->insertItem(at, port.name);
        cbCom->setItemData(at, port.toolTip, Qt::ToolTipRole);
    }
    for (const QString& url : comlink::keptNetworkPorts())
        if (cbCom->findText(url) < 0) cbCom->addItem(url);
    fitPortListPopup(cbCom);
    setPortListToolTip(comlink::leftOutHint(probe.leftOut, cbCom->count() > 0));
}

QString TForm1::portMenuHint() {
    return QStringLiteral(
        "Right-click the list for \"Add network port...\" (a reader behind a network serial "
        "server: rfc2217://HOST:PORT or socket://HOST:PORT), \"Remove network port\" and "
        "\"Bench of readers...\" (Ctrl+Shift+B: a job on many readers at once).");
}

void TForm1::setPortListToolTip(const QString& leftOut) {
    const QString menu = portMenuHint();
    cbCom->setToolTip(leftOut.isEmpty() ? menu : leftOut + QStringLiteral("\n\n") + menu);
}

bool TForm1::addNetworkPortUrl(const QString& given) {
    const QString url = given.trimmed();
    if (!comlink::parseNetworkPort(url)) {
        messageBox(QStringLiteral("Error"), QStringLiteral("Not a network port: ") + url,
                   QStringLiteral("Give rfc2217://HOST:PORT or socket://HOST:PORT; HOST is a "
                                  "name, an IPv4 address or an IPv6 address in brackets."));
        return false;
    }
    int at = cbCom->findText(url);
    if (at < 0) {
        // Listed only once a connection to it has been made.
        std::unique_ptr<comlink::SerialPort> check = comlink::makeNetworkPort();
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        const bool reached = check->open(url);
        check->close();
        QGuiApplication::restoreOverrideCursor();
        if (!reached) {
            messageBox(QStringLiteral("Error"), url + QStringLiteral(" cannot be added"),
                       check->errorString());
            return false;
        }
        cbCom->addItem(url);
        at = cbCom->count() - 1;
        fitPortListPopup(cbCom);
        QStringList kept = comlink::keptNetworkPorts();
        if (!kept.contains(url)) kept << url;
        QString error;
        if (!comlink::keepNetworkPorts(kept, &error))
            messageBox(QStringLiteral("Error"),
                       url + QStringLiteral(" is listed, but not kept for the next start"), error);
    }
    cbCom->setCurrentIndex(at);
    cbComSelect(at);
    return true;
}

void TForm1::removeNetworkPort() {
    const int at = cbCom->currentIndex();
    const QString url = cbCom->itemText(at);
    if (at < 0 || !comlink::looksLikeNetworkPort(url)) return;
    if (FChoiseCOM && hCom && hCom->isOpen() && openDevice_ == url) {
        hCom->close();
        FChoiseCOM = false;
        pnlState->setText(QStringLiteral("Select COM port"));
    }
    cbCom->removeItem(at);
    cbCom->setCurrentIndex(-1);
    QStringList kept = comlink::keptNetworkPorts();
    kept.removeAll(url);
    QString error;
    if (!comlink::keepNetworkPorts(kept, &error))
        messageBox(QStringLiteral("Error"),
                   url + QStringLiteral(" is still kept for the next start"), error);
}

void TForm1::portGone(const QString& name) {
    InfoInfo(name + QStringLiteral(" is gone: plug it back in and pick it again"));
}

void TForm1::cbComSelect(int /*index*/) {
    if (FChoiseCOM && hCom && hCom->isOpen()) hCom->close();
    const QString s = cbCom->currentText();
    lent_.clear();
    if (bench_ && bench_->holds(s)) {
        // Opened once the bench lets it go.
        lent_ = s;
        FChoiseCOM = true;
        InfoInfo(s + QStringLiteral(" is held by the bench of readers"));
        return;
    }
    iniCOM(s);
    FChoiseCOM = true;
    InfoInfo(QStringLiteral("\u0421\u041E\u041C port selected"));
}

QString TForm1::portInUse() const {
    return FChoiseCOM && hCom && hCom->isOpen() ? cbCom->currentText() : QString();
}

QString TForm1::lendPort(const QString& port) {
    const bool ours = FChoiseCOM && cbCom->currentText() == port;
    if (!ours) return {};
    if (running_) return QStringLiteral("the main window is programming this reader");
    if (hCom && hCom->isOpen()) hCom->close();
    lent_ = port;
    return {};
}

void TForm1::portReturned(const QString& port) {
    if (lent_.isEmpty() || lent_ != port) return;
    lent_.clear();
    if (FChoiseCOM && cbCom->currentText() == port) iniCOM(port);
}

bool TForm1::portHeldByBench() {
    const QString port = cbCom->currentText();
    if (!bench_ || !bench_->holds(port)) return false;
    log(port + QStringLiteral(" is held by the bench of readers: its run there must end first"));
    return true;
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
