// "Go to the BOOT": the reader leaves its application for its boot loader.

#include "link/commands.h"
#include "shell/qln_boot_pgm.h"

void TForm1::btTSTClick() {
    if (!requirePort()) return;
    const auto frame = comlink::bootEntryRequest();
    requestAndLog(frame.data(), static_cast<int>(frame.size()));
}
