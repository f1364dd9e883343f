#include "filters/filter_block.h"

namespace filters {

bool allFiltersInstalled(const uint8_t* block) {
    for (int i = 0; i < kBlockSize; ++i)
        if ((block[i] & kAllFiltersMask[i]) != kAllFiltersMask[i]) return false;
    return true;
}

bool signatureValid(const uint8_t* block) {
    return block[0] == kSignature0 && block[1] == kSignature1;
}

bool boxChecked(const uint8_t* block, Box box, uint8_t tp) {
    const BoxBit bit = kBoxBits[box];
    const bool set = (block[bit.byte] & bit.mask) != 0;
    if (box == Zero && tp == 1) return !set;
    return set;
}

}  // namespace filters
