// Entry points of the package for a host that loads libvarlo.so with dlopen.
#pragma once

#include <cstdint>

extern "C" {

struct TVarloVersionString {
  const char* Key;
  const char* Value;
};

struct TVarloVersionInfo {
  uint16_t FileVersion[4];     // major, minor, release, build
  uint16_t ProductVersion[4];  // likewise
  uint16_t Language;           // 0x0407
  uint16_t CodePage;           // 1252
  const char* Translation;     // language and code page as hex text: "040704E4"
  const TVarloVersionString* Strings;
  uint32_t StringCount;
};

// Package load and unload. The package's units have no start-up or shut-down work.
void Initialize(void);
void Finalize(void);
// Runs IBQuery::Register: TIBQuery on the palette page "Varlo".
void Register(void);
// The version data of the package.
const TVarloVersionInfo* VersionInfo(void);
}
