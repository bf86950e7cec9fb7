#include "ibquery/Varlo.h"

#include "ibquery/IBQuery.h"

namespace {

constexpr TVarloVersionString kStrings[] = {
    {"CompanyName", "Varlo"},  {"FileDescription", "Varlo"}, {"FileVersion", "0.5.0.0"},
    {"InternalName", "Varlo"}, {"LegalCopyright", ""},       {"LegalTrademarks", ""},
    {"OriginalFilename", ""},  {"ProductName", ""},          {"ProductVersion", "1.0.0.0"},
};

constexpr TVarloVersionInfo kVersion = {
    {0, 5, 0, 0},
    {0, 5, 0, 0},
    0x0407,
    1252,
    "040704E4",
    kStrings,
    static_cast<uint32_t>(sizeof(kStrings) / sizeof(kStrings[0])),
};

}  // namespace

extern "C" {

void Initialize(void) {}
void Finalize(void) {}
void Register(void) {
  IBQuery::Register();
}
const TVarloVersionInfo* VersionInfo(void) {
  return &kVersion;
}
}
