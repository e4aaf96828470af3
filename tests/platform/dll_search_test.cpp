// The DLL search the stub restricts at entry: a DLL that lies only beside the program is found
// by bare name before, and not after.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/platform_win32.h"

namespace {

TEST(DllSearch, ADllBesideTheProgramIsNoLongerLoadedByName) {
  wchar_t own[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH);
  ASSERT_GT(n, 0u);
  std::wstring beside(own, n);
  beside = beside.substr(0, beside.find_last_of(L'\\') + 1) + L"vantrel_beside.dll";
  ASSERT_NE(GetFileAttributesW(beside.c_str()), INVALID_FILE_ATTRIBUTES)
      << "the build puts vantrel_beside.dll beside the test program";

  HMODULE before = LoadLibraryW(L"vantrel_beside.dll");
  ASSERT_NE(before, nullptr) << "without the restriction the program's folder is searched";
  FreeLibrary(before);

  platform_win32_restrict_dll_search();
  HMODULE after = LoadLibraryW(L"vantrel_beside.dll");
  if (after) FreeLibrary(after);
  // System DLLs are still found by name.
  HMODULE system = LoadLibraryW(L"version.dll");
  if (system) FreeLibrary(system);

  // The rest of the tests run with the ordinary search again.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  SetDllDirectoryW(nullptr);
  EXPECT_EQ(after, nullptr);
  EXPECT_NE(system, nullptr);
}

}  // namespace
#endif
