// What a Windows host sees of the library: its export table and its version resource.
#include <windows.h>

#include <set>
#include <string>

#include "support/support.h"

namespace quillmend {
namespace {

HMODULE Library() { return ::GetModuleHandleW(L"quillmend_sdk.dll"); }

// Exactly the four calls leave the library, by name and without decoration.
TEST(WindowsModuleTest, ExportsTheFourCallsAndNothingElse) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(Library());
  ASSERT_NE(base, nullptr);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(entry.VirtualAddress, 0u);
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> exported;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    exported.insert(reinterpret_cast<const char*>(base + names[i]));
  }
  EXPECT_EQ(exported, (std::set<std::string>{"OrvM4aAdvanceRepair", "OrvM4aDestroy",
                                             "OrvM4aGeneralRepair", "OrvM4aInit"}));
  EXPECT_EQ(exports->NumberOfFunctions, 4u);
  EXPECT_EQ(reinterpret_cast<void*>(::GetProcAddress(Library(), "OrvM4aInit")),
            reinterpret_cast<void*>(&OrvM4aInit));
}

TEST(WindowsModuleTest, VersionResourceMatchesTheVersionText) {
  wchar_t path[MAX_PATH + 1] = {};
  ASSERT_GT(::GetModuleFileNameW(Library(), path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(::GetFileVersionInfoW(path, 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, DWORD{0x00010000});  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD{0x00000019});  // 0.25

  wchar_t* text = nullptr;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
  const std::wstring fileVersion(text);
  EXPECT_EQ(std::string(fileVersion.begin(), fileVersion.end()), QUILLMEND_SDK_VERSION_TEXT);
}

}  // namespace
}  // namespace quillmend
