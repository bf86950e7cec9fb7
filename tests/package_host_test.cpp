// A host that loads the package with dlopen, as a designer would: load, register, read the
// palette and the version data, unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "framework/Classes.h"
#include "ibquery/Varlo.h"

#if !defined(__SANITIZE_ADDRESS__)
// Counts the allocations of the whole process while counting is on.
namespace {
bool counting = false;
int allocations = 0;
}  // namespace
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t n) {
  if (counting) ++allocations;
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
  if (counting) ++allocations;
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
  if (counting) ++allocations;
  return __libc_realloc(p, n);
}
#define VARLO_COUNT_ALLOCATIONS 1
#endif

namespace {

template <typename Fn>
Fn Symbol(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  EXPECT_NE(symbol, nullptr) << name << ": " << dlerror();
  return reinterpret_cast<Fn>(symbol);
}

TEST(PackageHost, LoadsRegistersAndUnloads) {
  void* library = dlopen(VARLO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto initialize = Symbol<void (*)()>(library, "Initialize");
  auto finalize = Symbol<void (*)()>(library, "Finalize");
  auto registerPackage = Symbol<void (*)()>(library, "Register");
  auto versionInfo = Symbol<const TVarloVersionInfo* (*)()>(library, "VersionInfo");
  ASSERT_TRUE(initialize && finalize && registerPackage && versionInfo);

#ifdef VARLO_COUNT_ALLOCATIONS
  allocations = 0;
  counting = true;
#endif
  initialize();
  finalize();
  initialize();
#ifdef VARLO_COUNT_ALLOCATIONS
  counting = false;
  EXPECT_EQ(allocations, 0) << "loading and unloading allocate nothing";
#endif

  EXPECT_TRUE(Framework::PaletteClasses("Varlo").empty());
  registerPackage();
  auto classes = Framework::PaletteClasses("Varlo");
  ASSERT_EQ(classes.size(), 1u);
  const Framework::TComponentClass* cls = classes[0];
  EXPECT_EQ(cls->ClassName(), "TIBQuery");
  EXPECT_EQ(Framework::FindClass("TIBQuery"), cls);
  EXPECT_EQ(cls->PublishedProperties().size(), 7u);
  EXPECT_TRUE(cls->InheritsFrom(Framework::TComponent::StaticClass()));
  Framework::TComponent* query = cls->Create(nullptr);
  EXPECT_EQ(query->ClassName(), "TIBQuery");
  delete query;

  const TVarloVersionInfo* v = versionInfo();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::vector<uint16_t>(v->FileVersion, v->FileVersion + 4),
            (std::vector<uint16_t>{0, 5, 0, 0}));
  EXPECT_EQ(std::vector<uint16_t>(v->ProductVersion, v->ProductVersion + 4),
            (std::vector<uint16_t>{0, 5, 0, 0}));
  EXPECT_EQ(v->Language, 0x0407);
  EXPECT_EQ(v->CodePage, 1252);
  EXPECT_STREQ(v->Translation, "040704E4");
  std::map<std::string, std::string> strings;
  for (uint32_t i = 0; i < v->StringCount; ++i) strings[v->Strings[i].Key] = v->Strings[i].Value;
  EXPECT_EQ(strings, (std::map<std::string, std::string>{{"CompanyName", "Varlo"},
                                                         {"FileDescription", "Varlo"},
                                                         {"FileVersion", "0.5.0.0"},
                                                         {"InternalName", "Varlo"},
                                                         {"LegalCopyright", ""},
                                                         {"LegalTrademarks", ""},
                                                         {"OriginalFilename", ""},
                                                         {"ProductName", ""},
                                                         {"ProductVersion", "1.0.0.0"}}));

  // Routines of the units are reachable by their C++ names, as a host resolves them.
  auto length = Symbol<size_t (*)(unsigned short)>(library, "_ZN5IBAPI13XSQLDA_LENGTHEt");
  ASSERT_NE(length, nullptr);
  EXPECT_EQ(length(0), 24u);
  EXPECT_EQ(length(1), 184u);
  EXPECT_EQ(length(5), 824u);
  EXPECT_EQ(length(300), 24u + 300 * 160);
  for (const char* name :
       {"_ZN4IbDB8SQLFetchEPNS_10TIbStmtRecE",
        "_ZN4IbDB11IBBlobToPtrEPNS_10TIbStmtRecEPK10GDS_QUAD_tPvi", "_ZN7IBQuery8RegisterEv"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }

  // The designer takes the package's classes off its palette before it unloads the package.
  Framework::UnRegisterComponents({cls});
  finalize();
  EXPECT_EQ(dlclose(library), 0);
  EXPECT_TRUE(Framework::PaletteClasses("Varlo").empty());
}

}  // namespace
