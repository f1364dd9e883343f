// The last step of "Read param": the filter block of a reader in protected mode, which the reader
// layer has read and logged, into the filter boxes.

#include <algorithm>

#include "device/model_table.h"
#include "shell/qln_boot_pgm.h"

void TForm1::showFilterBlock(const device::FilterRead& filters) {
    bRdFilter = filters.reply == comlink::Reply::Accepted;
    if (!bRdFilter) return;
    std::copy(filters.block.begin(), filters.block.end(), param_1);
    // A block without its signature shows the defaults; the layer has said so in the log.
    FilterDefault();
    if (filters.signatureValid) showFilterChoice(filters.choice);
}
