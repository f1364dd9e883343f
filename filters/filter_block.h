#pragma once

#include <array>
#include <cstdint>

// The reader's 32-byte filter block and the bits of its filter boxes.
namespace filters {

inline constexpr int kBlockSize = 32;
inline constexpr uint8_t kSignature0 = 0xAA;
inline constexpr uint8_t kSignature1 = 0x55;
inline constexpr int kBoxCount = 17;

// The filter boxes, in the order in which a block is shown (each trigger box runs the rules as
// it changes, so the order matters).
enum Box {
    Filter1,
    Filter2,
    Filter2Exc,
    Zero,
    Otp1,
    Otp2,
    Mf3,
    Otp2Plus,
    Smk,
    SmkPlus,
    Counter,
    CDelete,
    CMake,
    OnlyVantis,
    OnlyMPlus,
    LocalFilterEn,
    AllowAllLocal,
};

// Which filter box is checked, in the order of Box: what the window's boxes, a settings file and
// "Set filter" hold.
using BoxStates = std::array<bool, kBoxCount>;

struct BoxBit {
    uint8_t byte;
    uint8_t mask;
};

// Where each box's bit sits in the block, in the order of Box. A set bit means checked, except
// for Zero, whose polarity depends on the model.
inline constexpr std::array<BoxBit, kBoxCount> kBoxBits{{
    {4, 0x10},   // Filter 1
    {16, 0x40},  // Filter 2
    {16, 0x80},  // Filter 2 Exc
    {16, 0x10},  // Zero
    {8, 0x02},   // OTP 1
    {17, 0x10},  // OTP 2
    {17, 0x20},  // MF3
    {16, 0x20},  // OTP 2 Plus
    {17, 0x04},  // SMK
    {17, 0x01},  // SMK Plus
    {16, 0x01},  // Counter
    {16, 0x08},  // cDelete
    {16, 0x04},  // cMake
    {18, 0x01},  // Only Vantis
    {18, 0x02},  // Only MPlus
    {18, 0x40},  // Local filter EN
    {18, 0x80},  // Allow all local filers to work independently
}};

// The states every box takes by default: Filter 1 with all its options, SMK and SMK Plus.
inline constexpr std::array<bool, kBoxCount> kDefaultChecked{
    true, false, false, true,  true,  true,  true,  true, true,
    true, false, false, false, false, false, false, false};

// Every bit that a reader with all filters installed reports.
inline constexpr std::array<uint8_t, kBlockSize> kAllFiltersMask{
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x30, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// True when every bit of the all-filters mask is set in the block (raw bits: the signature is
// not tested and Zero's polarity plays no part).
bool allFiltersInstalled(const uint8_t* block);

bool signatureValid(const uint8_t* block);

// Whether the block says the box is checked. tp = 0: Zero's bit set means checked; tp = 1:
// Zero's bit clear means checked.
bool boxChecked(const uint8_t* block, Box box, uint8_t tp);

}  // namespace filters
