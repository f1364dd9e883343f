#include "filters/filter_codes.h"

#include "link/commands.h"

namespace filters {

namespace {

constexpr uint8_t kExplicitForm = 0x02;
constexpr uint8_t kExplicitTag = 0xEB;
constexpr uint8_t kRecordBytes = 51;  // 17 records of key, length 1, value

struct Record {
    uint8_t key;
    Box box;
};

// SMK is written twice, under two keys; Filter 1 has no record of its own.
constexpr Record kRecords[17] = {
    {0x83, Otp1},          {0x88, OnlyVantis}, {0x82, Zero},       {0x84, Otp2},
    {0x89, Mf3},           {0x85, Filter2},    {0x86, Filter2Exc}, {0x87, Otp2Plus},
    {0x90, Smk},           {0x91, Smk},        {0x92, SmkPlus},    {0x93, Counter},
    {0x95, CDelete},       {0x94, CMake},      {0x8A, OnlyMPlus},  {0x8B, LocalFilterEn},
    {0x8C, AllowAllLocal},
};

}  // namespace

std::vector<uint8_t> filterCodes(const BoxStates& s) {
    std::vector<uint8_t> c;
    c.reserve(kMaxFilterCodes);
    if (s[Filter1]) {
        c.push_back(0x01);
        if (!s[Zero]) c.push_back(0x03);
        if (!s[Otp1]) c.push_back(0x04);
        if (!s[Otp2]) c.push_back(0x05);
        if (!s[Mf3]) c.push_back(0x11);
        if (!s[Otp2Plus]) c.push_back(0x07);
    } else if (s[Filter2]) {
        c.insert(c.end(), {0x02, 0x05, 0x11, 0x07});
        if (s[Filter2Exc]) c.push_back(0x06);
    } else {
        c.insert(c.end(), {0x01, 0x03, 0x04, 0x05, 0x11, 0x07});
    }
    if (s[Counter]) {
        c.push_back(0x0E);
        if (s[CDelete]) c.push_back(0x0F);
        if (s[CMake]) c.push_back(0x10);
    }
    c.push_back(s[Smk] ? 0x08 : 0x0A);
    if (!s[SmkPlus]) c.push_back(0x0B);
    c.push_back(s[OnlyVantis] ? 0x0C : 0x0D);
    c.push_back(s[OnlyMPlus] ? 0x12 : 0x13);
    c.push_back(s[AllowAllLocal] ? 0x18 : 0x19);
    c.push_back(s[LocalFilterEn] ? 0x16 : 0x17);
    return c;
}

std::array<uint8_t, kExplicitFrameLen> explicitFilterFrame(const BoxStates& s) {
    std::array<uint8_t, kExplicitFrameLen> f{};
    uint8_t data[3 + kRecordBytes] = {kExplicitForm, kExplicitTag, kRecordBytes};
    int at = 3;
    for (const Record& r : kRecords) {
        data[at++] = r.key;
        data[at++] = 0x01;
        data[at++] = s[r.box] ? 0x01 : 0x00;
    }
    comlink::buildRequest(f.data(), comlink::cmd::kSetFilter, data, sizeof data);
    return f;
}

}  // namespace filters
