// The last step of "Read param": the filter block of a reader in protected mode. The reader layer
// reads it and logs it; here it goes into the filter boxes.

#include <algorithm>

#include "device/model_table.h"
#include "shell/qln_boot_pgm.h"

device::FilterRead TForm1::readFilterBlock() {
    const device::FilterRead filters = reader_->readFilters(identity_);
    bRdFilter = filters.reply == comlink::Reply::Accepted;
    if (!bRdFilter) return filters;
    std::copy(filters.block.begin(), filters.block.end(), param_1);
    ParseFilter(param_1, device::model(Device).zeroPolarity);
    return filters;
}
