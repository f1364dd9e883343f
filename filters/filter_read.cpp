// The last step of "Read param": the filter block of a reader in protected mode.

#include "device/model_table.h"
#include "filters/filter_block.h"
#include "link/commands.h"
#include "shell/qln_boot_pgm.h"

namespace {

constexpr uint32_t kVersionWithAllFiltersTest = 0x10701;  // 1.7.1

QString hexLine(const uint8_t* p, int n) {
    return QString::fromStdString(comlink::hexString(p, static_cast<std::size_t>(n)));
}

}  // namespace

void TForm1::readFilterBlock() {
    bRdFilter = readData(comlink::cmd::kReadFilter, param_1,
                         {"FILTER ERROR CS", "FILTER ERROR CS",
                          "The filter not read. It is necessary to enter the master mode.", "OK"});
    if (!bRdFilter) return;
    log(QStringLiteral("FILTER READ"));
    log(hexLine(param_1, 16));
    log(hexLine(param_1 + 16, 16));
    if (version32 == kVersionWithAllFiltersTest && checkFilterV010701(param_1))
        log(QStringLiteral("All filters are installed."));
    ParseFilter(param_1, device::model(Device).zeroPolarity);
}
