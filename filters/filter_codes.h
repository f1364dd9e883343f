#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "filters/filter_block.h"

// What "Set filter" puts on the line, from the checked states of the 17 filter boxes (in the
// order of filters::Box; enabled and visible states play no part).
namespace filters {

inline constexpr int kMaxFilterCodes = 16;
inline constexpr uint8_t kStatusNotRegistered = 0x20;
inline constexpr int kExplicitFrameLen = 60;

// The one-byte filter codes of readers configured code by code, in sending order (6 to 15).
std::vector<uint8_t> filterCodes(const BoxStates& s);

// The explicit filter frame with its 17 records and its sum.
std::array<uint8_t, kExplicitFrameLen> explicitFilterFrame(const BoxStates& s);

}  // namespace filters
