// The built Stub.exe: imported DLLs, section count, subsystem, and its
// resources (dialog 101 byte for byte, icon group 100, manifest).
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/strings.h"
#include "tests/support/test_support.h"

namespace {

const std::vector<uint8_t>& StubBytes() {
  static const std::vector<uint8_t> bytes = kztest::ReadFileBytes(KZ_STUB_EXE);
  return bytes;
}

template <typename T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

struct Image {
  size_t ntHeaders = 0;
  IMAGE_NT_HEADERS nt{};  // this build's own kind: PE32 or PE32+
  std::vector<IMAGE_SECTION_HEADER> sections;
  // File offset of a virtual address, or 0.
  size_t Offset(uint32_t rva) const {
    for (const IMAGE_SECTION_HEADER& s : sections)
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + std::max(s.Misc.VirtualSize, s.SizeOfRawData))
        return rva - s.VirtualAddress + s.PointerToRawData;
    return 0;
  }
};

Image Parse(const std::vector<uint8_t>& bytes) {
  Image image;
  image.ntHeaders = At<uint32_t>(bytes, 0x3c);
  image.nt = At<IMAGE_NT_HEADERS>(bytes, image.ntHeaders);
  const size_t first = image.ntHeaders + 4 + sizeof(IMAGE_FILE_HEADER) + image.nt.FileHeader.SizeOfOptionalHeader;
  for (int i = 0; i < image.nt.FileHeader.NumberOfSections; ++i)
    image.sections.push_back(At<IMAGE_SECTION_HEADER>(bytes, first + i * sizeof(IMAGE_SECTION_HEADER)));
  return image;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

TEST(InstallerImage, HeadersAndSections) {
  const std::vector<uint8_t>& bytes = StubBytes();
  ASSERT_GT(bytes.size(), 4096u);
  ASSERT_EQ(At<uint16_t>(bytes, 0), IMAGE_DOS_SIGNATURE);
  const Image image = Parse(bytes);
  ASSERT_EQ(image.nt.Signature, IMAGE_NT_SIGNATURE);
#ifdef _WIN64
  // The 64-bit test build of the same sources (for machines without 32-bit code).
  EXPECT_EQ(image.nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(image.nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
#else
  EXPECT_EQ(image.nt.FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(image.nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
#endif
  EXPECT_EQ(image.nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  // With the .KZBNDL section added the installer must stay within 15.
  EXPECT_LE(image.nt.FileHeader.NumberOfSections, 14);
  for (const IMAGE_SECTION_HEADER& s : image.sections) {
    const std::string name(reinterpret_cast<const char*>(s.Name), strnlen(reinterpret_cast<const char*>(s.Name), 8));
    EXPECT_NE(name.rfind(".debug", 0), 0u) << name;  // stripped
    EXPECT_NE(name.rfind("/", 0), 0u) << name;       // no long (string-table) names left
  }
  // No symbol table either.
  EXPECT_EQ(image.nt.FileHeader.PointerToSymbolTable, 0u);
}

TEST(InstallerImage, ImportsOnlySystemDlls) {
  const std::vector<uint8_t>& bytes = StubBytes();
  const Image image = Parse(bytes);
  const IMAGE_DATA_DIRECTORY directory = image.nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(directory.VirtualAddress, 0u);
  size_t offset = image.Offset(directory.VirtualAddress);
  ASSERT_NE(offset, 0u);
  std::set<std::string> dlls;
  for (;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(bytes, offset);
    if (descriptor.Name == 0) break;
    const size_t name = image.Offset(descriptor.Name);
    ASSERT_NE(name, 0u);
    dlls.insert(Lower(reinterpret_cast<const char*>(bytes.data() + name)));
  }
  // Each is a KnownDLL (always taken from System32) or, for comctl32, bound
  // to the system's side-by-side copy by the manifest.
  const std::set<std::string> allowed = {"kernel32.dll", "user32.dll",   "gdi32.dll",  "advapi32.dll",
                                         "shell32.dll",  "comctl32.dll", "msvcrt.dll", "ole32.dll"};
  for (const std::string& dll : dlls) EXPECT_TRUE(allowed.count(dll)) << "imports " << dll;
  EXPECT_TRUE(dlls.count("kernel32.dll"));
  // comctl32 is loaded in gui mode only (run_modes.cpp): importing it would
  // start wine's desktop process in every silent run.
  EXPECT_FALSE(dlls.count("comctl32.dll"));
  // No delay-load table that could pull in something else later.
  EXPECT_EQ(image.nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress, 0u);
}

// The raw data of one resource of Stub.exe.
class StubResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(Utf8ToWide(KZ_STUB_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  std::vector<uint8_t> Resource(LPCWSTR type, int id, WORD language) {
    HRSRC found = FindResourceExW(module_, type, MAKEINTRESOURCEW(id), language);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const auto* data = static_cast<const uint8_t*>(LockResource(loaded));
    return std::vector<uint8_t>(data, data + SizeofResource(module_, found));
  }
  HMODULE module_ = nullptr;
};

// The extended template as tabled, built independently here.
std::vector<uint8_t> ExpectedDialog() {
  std::vector<uint8_t> out;
  auto u16 = [&](uint32_t v) {
    out.push_back(v & 0xff);
    out.push_back((v >> 8) & 0xff);
  };
  auto u32 = [&](uint32_t v) {
    u16(v & 0xffff);
    u16(v >> 16);
  };
  auto text = [&](const char* s) {
    for (; *s; ++s) u16(static_cast<uint8_t>(*s));
    u16(0);
  };
  auto align = [&] {
    while (out.size() % 4) out.push_back(0);
  };
  u16(1), u16(0xFFFF), u32(0), u32(0x288), u32(0x90800A4C), u16(2);
  u16(0), u16(0), u16(138), u16(50);
  u16(0), u16(0), u16(0);  // menu, class, title
  u16(8), u16(400), out.push_back(0), out.push_back(1);
  text("MS Shell Dlg");
  align();
  u32(0), u32(0), u32(0x50020000), u16(43), u16(13), u16(46), u16(8), u32(0xFFFFFFFF);
  u16(0xFFFF), u16(0x0082);
  text("Please Wait...");
  u16(0);
  align();
  u32(0), u32(0), u32(0x50800000), u16(7), u16(25), u16(124), u16(9), u32(1000);
  text("msctls_progress32");
  u16(0);  // no text
  u16(0);  // no creation data
  return out;
}

TEST_F(StubResources, DialogTemplateExactlyAsTabled) {
  const std::vector<uint8_t> dialog = Resource(RT_DIALOG, 101, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  EXPECT_EQ(dialog, ExpectedDialog());
}

TEST_F(StubResources, IconGroupOfTenImages) {
  const std::vector<uint8_t> group = Resource(RT_GROUP_ICON, 100, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_GE(group.size(), 6u);
  ASSERT_EQ(At<uint16_t>(group, 2), 1);  // icons
  const uint16_t count = At<uint16_t>(group, 4);
  EXPECT_EQ(count, 10);
  ASSERT_EQ(group.size(), 6u + 14u * count);
  std::set<std::pair<int, int>> kinds;  // (width, bits per pixel)
  for (uint16_t i = 0; i < count; ++i) {
    const size_t entry = 6 + 14 * i;
    const int width = group[entry] == 0 ? 256 : group[entry];
    const int bits = At<uint16_t>(group, entry + 6);
    kinds.insert({width, bits});
    // Every image is present and the platform can turn it into an icon.
    const std::vector<uint8_t> image =
        Resource(RT_ICON, At<uint16_t>(group, entry + 12), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_EQ(image.size(), At<uint32_t>(group, entry + 8));
    HICON icon = CreateIconFromResourceEx(const_cast<uint8_t*>(image.data()), static_cast<DWORD>(image.size()),
                                          TRUE, 0x00030000, width, width, 0);
    EXPECT_NE(icon, nullptr) << width << "px " << bits << "bpp";
    if (icon) DestroyIcon(icon);
  }
  EXPECT_EQ(kinds.size(), 10u);
  EXPECT_TRUE(kinds.count({256, 32}) && kinds.count({16, 4}) && kinds.count({32, 8}));
}

TEST_F(StubResources, ManifestRequestsAdministratorAndControls6) {
  const std::vector<uint8_t> data = Resource(RT_MANIFEST, 1, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  const std::string manifest(data.begin(), data.end());
  EXPECT_NE(manifest.find("level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
  for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(manifest.find(std::string("supportedOS Id=\"{") + os + "}\""), std::string::npos) << os;
}

// A lambda converts only to a default-convention pointer; 32-bit dialog
// procedures are stdcall.
INT_PTR CALLBACK IgnoreAllMessages(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST_F(StubResources, DialogCreatesTheTabledWindow) {
  const std::vector<uint8_t> dialog = Resource(RT_DIALOG, 101, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  ASSERT_FALSE(dialog.empty());
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HWND window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                           reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), nullptr,
                                           IgnoreAllMessages, 0);
  if (!window) GTEST_SKIP() << "no window station to create dialogs in";
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)) & 0x288u, 0x288u);
  EXPECT_TRUE(IsWindowVisible(window));  // shown by its own style
  wchar_t text[64] = {};
  GetWindowTextW(window, text, 64);
  EXPECT_STREQ(text, L"");
  HWND bar = GetDlgItem(window, 1000);
  ASSERT_NE(bar, nullptr);
  GetClassNameW(bar, text, 64);
  EXPECT_EQ(lstrcmpiW(text, L"msctls_progress32"), 0);
  HWND label = GetWindow(window, GW_CHILD);
  ASSERT_NE(label, nullptr);
  GetClassNameW(label, text, 64);
  EXPECT_EQ(lstrcmpiW(text, L"Static"), 0);
  GetWindowTextW(label, text, 64);
  EXPECT_STREQ(text, L"Please Wait...");
  DestroyWindow(window);
}

}  // namespace
#endif  // _WIN32
