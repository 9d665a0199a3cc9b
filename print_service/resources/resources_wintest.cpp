// The tray program's file carries its icon (first icon, three 32-bit sizes) and
// manifest; both programs carry the project's version.
#include "common/unique_owner_win.h"
#include "common/windows_include.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <set>
#include <vector>
#include <string>

namespace {

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytesInRes;
  WORD id;
};
struct GroupIconDir {
  WORD reserved, type, count;
  GroupIconEntry entries[1];
};
#pragma pack(pop)


class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("KELO_PRINT_SERVICE_EXE");
    ASSERT_NE(path, nullptr) << "KELO_PRINT_SERVICE_EXE names the program file";
    library_.Reset(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    module_ = library_.Get();
    ASSERT_NE(module_, nullptr) << GetLastError();
  }

  std::string Resource(LPCWSTR type, LPCWSTR name) {
    HRSRC info = FindResourceW(module_, name, type);
    if (info == nullptr) return {};
    HGLOBAL data = LoadResource(module_, info);  // not freed: part of the mapped file
    const void* bytes = LockResource(data);
    return bytes ? std::string(static_cast<const char*>(bytes), SizeofResource(module_, info)) : std::string();
  }

  UniqueLibrary library_;
  HMODULE module_ = nullptr;
};

BOOL CALLBACK FirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  *reinterpret_cast<ULONG_PTR*>(param) = IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 0;
  return FALSE;  // the first one is enough
}

TEST_F(ProgramResources, IconResource107IsTheFirstIconWithThreeSizesAt32Bits) {
  ULONG_PTR first = 0;
  (void)EnumResourceNamesW(module_, RT_GROUP_ICON, FirstName, reinterpret_cast<LONG_PTR>(&first));
  EXPECT_EQ(first, 107u);

  const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(107));
  ASSERT_GE(group.size(), 6u);
  const auto* dir = reinterpret_cast<const GroupIconDir*>(group.data());
  ASSERT_EQ(dir->count, 3);
  std::set<int> sizes;
  for (int i = 0; i < dir->count; ++i) {
    const GroupIconEntry& entry = dir->entries[i];
    EXPECT_EQ(entry.bitCount, 32);
    EXPECT_EQ(entry.width, entry.height);
    sizes.insert(entry.width);
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32, 48}));
}

TEST_F(ProgramResources, ManifestAsksForNoElevationAndDeclaresDpiAwareness) {
  const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty());
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos) << manifest;
}

// One string of the version resource's US English block, or empty.
std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name) {
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || value == nullptr) return {};
  return std::wstring(static_cast<const wchar_t*>(value), wcsnlen(static_cast<const wchar_t*>(value), length));
}

TEST(ProgramVersion, BothProgramsCarryTheProjectVersionAndTheirNames) {
  const std::wstring version = L"" KELO_VERSION_W;
  for (const char* variable : {"KELO_PRINT_SERVICE_EXE", "KELO_USB_SERVICE_EXE"}) {
    const char* path = std::getenv(variable);
    ASSERT_NE(path, nullptr) << variable;
    const DWORD size = GetFileVersionInfoSizeA(path, nullptr);
    ASSERT_GT(size, 0u) << path;
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data())) << path;

    void* fixedPointer = nullptr;
    UINT fixedLength = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &fixedPointer, &fixedLength));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(fixedPointer);
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::swscanf(version.c_str(), L"%u.%u.%u", &major, &minor, &patch), 3);
    EXPECT_EQ(fixed->dwFileVersionMS, (major << 16) | minor) << path;
    EXPECT_EQ(fixed->dwFileVersionLS, patch << 16) << path;
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS) << path;

    EXPECT_EQ(VersionString(info, L"FileVersion"), version) << path;
    EXPECT_EQ(VersionString(info, L"ProductVersion"), version) << path;
    EXPECT_EQ(VersionString(info, L"CompanyName"), L"KELO") << path;
    EXPECT_EQ(VersionString(info, L"ProductName"), L"KELO Label Printing Agent") << path;
    EXPECT_NE(VersionString(info, L"LegalCopyright").find(L"KELO"), std::wstring::npos) << path;
    EXPECT_FALSE(VersionString(info, L"FileDescription").empty()) << path;
    const std::string file = std::string(path).substr(std::string(path).find_last_of("\\/") + 1);
    EXPECT_EQ(VersionString(info, L"OriginalFilename"), std::wstring(file.begin(), file.end())) << path;
  }
}

}  // namespace
