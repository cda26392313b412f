// What a Windows host sees of the library: its export table.
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

}  // namespace
}  // namespace quillmend
