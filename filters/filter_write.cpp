// "Set filter": the filter boxes handed to the reader layer, which writes them in the form the
// reader's model takes.

#include <QCheckBox>

#include "filters/filter_codes.h"
#include "shell/qln_boot_pgm.h"

uint8_t TForm1::getFilterCmd(uint8_t* p) {
    std::fill(p, p + filters::kMaxFilterCodes, 0);
    const std::vector<uint8_t> codes = filters::filterCodes(config_.filterChoice);
    std::copy(codes.begin(), codes.end(), p);
    return static_cast<uint8_t>(codes.size());
}

bool TForm1::transmitCmd(const uint8_t* p, uint8_t n) {
    return reader_->transmitCodes(p, n);
}

void TForm1::btSetFilterClick() {
    if (!requirePort() || !requireReader()) return;
    reader_->setFilters(Device, config_.filterChoice, cbAvtoSetFilter->isChecked(), bRdFilter);
}
