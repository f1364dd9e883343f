// One packet to the boot loader and its reply, through the reader layer.

#include "shell/qln_boot_pgm.h"

bool TForm1::writePage(const uint8_t* p, int32_t n) {
    return reader_->exchangeBootPacket(p, n, FStop);
}
