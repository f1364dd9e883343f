// "Go to the BOOT": the reader leaves its application for its boot loader.

#include "shell/qln_boot_pgm.h"

void TForm1::btTSTClick() {
    if (!requirePort()) return;
    reader_->enterBootLoader();
}
