// image_test.cpp -- the built UTarvune.exe as a file: its resources (dialog
// template byte for byte, version block) and what it imports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <windows.h>

namespace {

// The machine of the images this build makes (the tests run against them).
const WORD NATIVE_MACHINE = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;

std::string UninstallerPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    while (n > 0 && path[n - 1] != '\\')
        n--;
    return std::string(path, n) + "UTarvune.exe";
}

// --- The dialog template, as the classic DLGTEMPLATE layout puts it ---------

class TemplateBytes {
public:
    void Word(WORD w) { bytes.push_back((char)(w & 0xFF)); bytes.push_back((char)(w >> 8)); }
    void Dword(DWORD d) { Word((WORD)(d & 0xFFFF)); Word((WORD)(d >> 16)); }
    void Text(const char* s)  // ASCII only, as every text here is
    {
        for (; *s; s++)
            Word((WORD)(unsigned char)*s);
        Word(0);
    }
    void AlignDword()
    {
        while (bytes.size() % 4)
            bytes.push_back(0);
    }
    std::string bytes;
};

struct ControlRow {
    WORD id;
    WORD classAtom;         // 0: the class is given by name
    const char* className;
    const char* text;
    DWORD style;
    short x, y, cx, cy;
};

std::string ExpectedDialogTemplate()
{
    const DWORD staticStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER;
    const ControlRow controls[] = {
        {1, 0x0080, nullptr, "OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 29, 39, 50, 14},
        {2, 0x0080, nullptr, "Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 89, 39, 50, 14},
        {0xFFFF, 0x0082, nullptr, "Click on OK to uninstall the Tarvune Add-on", staticStyle, 12, 4, 146, 8},
        {0xFFFF, 0x0082, nullptr, "Library. This will remove all files from your", staticStyle, 4, 15, 161, 8},
        {0xFFFF, 0x0082, nullptr, "computer.", staticStyle, 11, 25, 146, 8},
        {1000, 0, "msctls_progress32", "Progress", WS_CHILD | WS_VISIBLE | WS_BORDER, 6, 59, 159, 11},
    };
    TemplateBytes t;
    t.Dword(WS_VISIBLE | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFOREGROUND |
            DS_NOIDLEMSG | DS_SETFONT | DS_3DLOOK);
    t.Dword(0);                                  // no extended style
    t.Word(6);                                   // controls
    t.Word(0); t.Word(0); t.Word(174); t.Word(78);
    t.Word(0);                                   // no menu
    t.Word(0);                                   // the standard dialog class
    t.Word(0);                                   // empty caption
    t.Word(8);
    t.Text("MS Sans Serif");
    for (const ControlRow& c : controls) {
        t.AlignDword();
        t.Dword(c.style);
        t.Dword(0);
        t.Word((WORD)c.x); t.Word((WORD)c.y); t.Word((WORD)c.cx); t.Word((WORD)c.cy);
        t.Word(c.id);
        if (c.classAtom) {
            t.Word(0xFFFF);
            t.Word(c.classAtom);
        } else {
            t.Text(c.className);
        }
        t.Text(c.text);
        t.Word(0);                               // no creation data
    }
    return t.bytes;
}

// --- The version block: a tree of (key, value, children) nodes --------------

struct VersionNode {
    std::string key;
    WORD type = 0;
    std::string value;        // raw bytes; for text nodes the UTF-16 text
    std::vector<VersionNode> children;
};

std::string Narrow(const WCHAR* w, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && w[i]; i++)
        s += (char)w[i];
    return s;
}

size_t Align4(size_t n) { return (n + 3) & ~(size_t)3; }

VersionNode ParseVersionNode(const BYTE* base, size_t offset, size_t end)
{
    VersionNode node;
    const BYTE* p = base + offset;
    WORD length = *(const WORD*)p, valueLength = *(const WORD*)(p + 2);
    node.type = *(const WORD*)(p + 4);
    const WCHAR* key = (const WCHAR*)(p + 6);
    size_t keyChars = 0;
    while (key[keyChars])
        keyChars++;
    node.key = Narrow(key, keyChars);
    size_t at = Align4(offset + 6 + (keyChars + 1) * 2);
    size_t valueBytes = node.type == 1 ? valueLength * 2u : valueLength;
    node.value.assign((const char*)base + at, valueBytes);
    at = Align4(at + valueBytes);
    size_t nodeEnd = std::min(end, offset + length);
    while (at + 6 <= nodeEnd) {
        WORD childLength = *(const WORD*)(base + at);
        if (childLength == 0)
            break;
        node.children.push_back(ParseVersionNode(base, at, nodeEnd));
        at = Align4(at + childLength);
    }
    return node;
}

std::string TextValue(const VersionNode& node)
{
    return Narrow((const WCHAR*)node.value.data(), node.value.size() / 2);
}

class BuiltUninstaller : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExA(UninstallerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << UninstallerPath() << ": error " << GetLastError();
    }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }
    std::string Resource(LPCSTR type, WORD id)
    {
        HRSRC found = FindResourceExA(module, type, MAKEINTRESOURCEA(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        if (!found)
            return "";
        const char* data = (const char*)LockResource(LoadResource(module, found));
        return std::string(data, SizeofResource(module, found));
    }
    HMODULE module = nullptr;
};

BOOL CALLBACK AddLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR list)
{
    auto* all = (std::set<std::tuple<ULONG_PTR, ULONG_PTR, WORD>>*)list;
    all->insert({(ULONG_PTR)type, (ULONG_PTR)name, language});
    return TRUE;
}

BOOL CALLBACK AddName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR list)
{
    EXPECT_TRUE(IS_INTRESOURCE(name)) << "a resource with a string name";
    EnumResourceLanguagesA(module, type, name, AddLanguage, list);
    return TRUE;
}

BOOL CALLBACK AddType(HMODULE module, LPSTR type, LONG_PTR list)
{
    EXPECT_TRUE(IS_INTRESOURCE(type)) << "a resource type with a string name";
    EnumResourceNamesA(module, type, AddName, list);
    return TRUE;
}

TEST_F(BuiltUninstaller, HoldsOnlyTheDialogAndTheVersionBlockInUSEnglish)
{
    std::set<std::tuple<ULONG_PTR, ULONG_PTR, WORD>> all;
    EnumResourceTypesA(module, AddType, (LONG_PTR)&all);
    const std::set<std::tuple<ULONG_PTR, ULONG_PTR, WORD>> expected = {
        {(ULONG_PTR)RT_DIALOG, 102, 0x0409},
        {(ULONG_PTR)RT_VERSION, 1, 0x0409},
    };
    EXPECT_EQ(all, expected);  // no icon among them
}

TEST_F(BuiltUninstaller, DialogTemplateIsExact)
{
    std::string actual = Resource(RT_DIALOG, 102);
    std::string expected = ExpectedDialogTemplate();
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++)
        ASSERT_EQ((unsigned char)actual[i], (unsigned char)expected[i]) << "first difference at byte " << i;
}

TEST_F(BuiltUninstaller, VersionBlock)
{
    std::string block = Resource(RT_VERSION, 1);
    ASSERT_GE(block.size(), 92u);
    VersionNode root = ParseVersionNode((const BYTE*)block.data(), 0, block.size());
    EXPECT_EQ(root.key, "VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    memcpy(&fixed, root.value.data(), sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0u);
    EXPECT_EQ(fixed.dwFileVersionLS, 1u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0u);
    EXPECT_EQ(fixed.dwProductVersionLS, 1u);
    EXPECT_EQ(fixed.dwFileOS, (DWORD)VOS__WINDOWS32);
    EXPECT_EQ(fixed.dwFileType, (DWORD)VFT_APP);

    const VersionNode* strings = nullptr;
    for (const VersionNode& child : root.children)
        if (child.key == "StringFileInfo")
            strings = &child;
    ASSERT_NE(strings, nullptr);
    ASSERT_EQ(strings->children.size(), 1u) << "one string table";
    const VersionNode& table = strings->children[0];
    EXPECT_EQ(table.key, "040904b0");

    const std::pair<std::string, std::string> expected[] = {
        {"CompanyName", ""},
        {"FileDescription", "Uninstalls Morvalin's Tarvune Add-on DLL"},
        {"FileVersion", "0, 0, 0, 1"},
        {"ProductName", "Tarvune Uninstall"},
        {"ProductVersion", "0, 0, 0, 1"},
    };
    ASSERT_EQ(table.children.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); i++) {
        SCOPED_TRACE(expected[i].first);
        EXPECT_EQ(table.children[i].key, expected[i].first);
        EXPECT_EQ(TextValue(table.children[i]), expected[i].second);
    }
}

// --- Imports, read from the file's import directory -------------------------

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(UninstallerImage, GuiProgramImportingFromSystemDllsOnly)
{
    std::string image = ReadFileBytes(UninstallerPath());
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    const auto* dos = (const IMAGE_DOS_HEADER*)image.data();
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const auto* nt = (const IMAGE_NT_HEADERS*)(image.data() + dos->e_lfanew);  // this build's width
    ASSERT_EQ(nt->Signature, (DWORD)IMAGE_NT_SIGNATURE);
    EXPECT_EQ(nt->FileHeader.Machine, NATIVE_MACHINE);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS].Size, 0u)
        << "thread-local callbacks come from a C runtime";

    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    auto at = [&](DWORD rva) -> const char* {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < std::max(s.Misc.VirtualSize, s.SizeOfRawData))
                return image.data() + s.PointerToRawData + (rva - s.VirtualAddress);
        }
        return nullptr;
    };

    DWORD importRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    const auto* descriptor = (const IMAGE_IMPORT_DESCRIPTOR*)at(importRva);
    ASSERT_NE(descriptor, nullptr);
    const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "COMCTL32.DLL"};
    std::set<std::string> seen;
    for (; descriptor->Name; descriptor++) {
        std::string dll = at(descriptor->Name);
        CharUpperA(&dll[0]);
        seen.insert(dll);
        EXPECT_TRUE(allowed.count(dll)) << "imports from " << dll;
        const auto* thunk = (const IMAGE_THUNK_DATA*)at(descriptor->OriginalFirstThunk
                                                            ? descriptor->OriginalFirstThunk
                                                            : descriptor->FirstThunk);
        std::vector<ULONG_PTR> entries;
        for (; thunk->u1.Ordinal; thunk++)
            entries.push_back(thunk->u1.Ordinal);
        if (dll == "COMCTL32.DLL") {
            // InitCommonControls alone, by its ordinal, with no name.
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0], IMAGE_ORDINAL_FLAG | 17u);
        }
    }
    EXPECT_EQ(seen, allowed);
}

}  // namespace
