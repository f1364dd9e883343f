// "Go to the BOOT": the reader leaves its application for its boot loader.

#include "link/frame.h"
#include "shell/qln_boot_pgm.h"

namespace {
constexpr uint8_t kBootEntryCommand = 0xE0;
}

void TForm1::btTSTClick() {
    if (!requirePort()) return;
    uint8_t frame[6];
    comlink::buildFrame(frame, comlink::kHeaderCommand, kBootEntryCommand, nullptr, 0);
    requestAndLog(frame, 6);
}
