// libFuzzer: whatever the reader answers, every sender of the command protocol judges and
// decodes it without crashing, hanging or reading past the reply it got.
//
// The input's first byte picks the operation; the rest is everything the "reader" sends, taken
// by the exchanges in order, as a real line would deliver it.

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/serial_port.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/fake_port.h"

namespace {

// A port whose reader answers from the fuzz input, then falls silent.
class InputPort final : public th::FakePort {
public:
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    // Opening fails (the probe finds nothing); the window is handed one that is open.
    bool isOpen() const override { return true; }
    bool setLineSettings(const comlink::LineSettings&) override { return true; }
    bool setTimeouts(const comlink::Timeouts&) override { return true; }
    comlink::Transfer write(const uint8_t*, int n) override {
        return {n, comlink::PortError::None};
    }
    comlink::Transfer read(uint8_t* p, int n) override {
        const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), size - at);
        std::memcpy(p, data + at, take);
        at += take;
        return {static_cast<int>(take), comlink::PortError::None};
    }
};

TForm1* form = nullptr;
InputPort* port = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Lives until the process ends, with the window: never destroyed behind the window's back.
    new QApplication(*argc, *argv);
    comlink::setSerialPortFactory([] { return std::make_unique<InputPort>(); });
    form = new TForm1;
    auto owned = std::make_unique<InputPort>();
    port = owned.get();
    form->hCom = std::move(owned);
    form->FChoiseCOM = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    port->data = data + 2;
    port->size = size - 2;
    port->at = 0;
    form->mm->clear();
    const uint8_t op = data[0] % 6;
    const uint8_t model = data[1] % 18;
    switch (op) {
        case 0:  // "Read param": version, parameters, filters
            form->btVersionClick();
            break;
        case 1:  // "Write param" in the form of the model
            form->Device = model;
            form->edTimeOpen->setText(QString::number(data[1] * 37));
            form->btWriteParamClick();
            break;
        case 2:  // filter codes, one request per code
            form->Device = 10 + (model & 1);
            form->btSetFilterClick();
            break;
        case 3:  // the explicit filter frame, or the automatic request
            form->Device = 13 + (model & 3);
            form->bRdFilter = true;
            form->cbAvtoSetFilter->setChecked(model & 4);
            form->btSetFilterClick();
            break;
        case 4:  // "Go to the BOOT"
            form->btTSTClick();
            break;
        case 5:  // the parameter read on its own
            uint8_t params[9];
            form->getParamSTCOM(params);
            break;
    }
    // What the window posted to itself (scroll ranges, repaints) is handled as the event loop
    // would, so that nothing piles up between inputs.
    QCoreApplication::sendPostedEvents();
    return 0;
}
