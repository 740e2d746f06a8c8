// modern_archives_test.cpp -- archives that today's tools write, made at
// build time: ZIP64 from Info-ZIP zip -fz and from Python's zipfile past
// 65,535 entries, UTF-8 names (declared, or from Unix) and NTFS times from
// 7zz, bsdtar and Python. Every entry, read from its file, is what the
// manifest of an independent reader says.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/manifest.h"
#include "support/winfiles.h"
#include "zipread/reader_fixture.h"

namespace {

std::wstring Utf8ToWide(const std::string& text)
{
    std::wstring wide(text.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), &wide[0],
                                (int)wide.size());
    EXPECT_GT(n, 0) << "manifest name is not UTF-8";
    wide.resize(n > 0 ? n : 0);
    return wide;
}

template <typename Text>
Text Backslashed(Text name)
{
    for (auto& c : name)
        if (c == '/')
            c = '\\';
    return name;
}

// A source file of the interop folder, whose relative path is UTF-8.
bool ReadSource(const std::string& relative, std::string& bytes)
{
    std::wstring path = Utf8ToWide(InteropPath(relative));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes.assign(GetFileSize(file, nullptr), '\0');
    DWORD got = 0;
    bool ok = bytes.empty() || (ReadFile(file, &bytes[0], (DWORD)bytes.size(), &got, nullptr) && got == bytes.size());
    CloseHandle(file);
    return ok;
}

bool IsAscii(const std::string& text)
{
    for (char c : text)
        if ((unsigned char)c >= 0x80)
            return false;
    return true;
}

TEST(ModernArchives, EveryEntryAsItsManifestSays)
{
    std::vector<InteropArchive> archives = LoadInteropIndex(InteropPath("modern.txt"));
    ASSERT_EQ(6u, archives.size()) << "modern.txt lists the archives of make_interop.py";
    std::map<std::string, std::string> sources;
    for (const InteropArchive& archive : archives) {
        SCOPED_TRACE(archive.tool);
        std::vector<ManifestRow> rows = LoadManifest(InteropPath(archive.file + ".manifest"));
        ASSERT_FALSE(rows.empty());
        OpenedArchive a(InteropPath(archive.file), SOURCE_FILE);
        ASSERT_EQ(RESULT_OK, a.code);
        ASSERT_EQ(rows.size(), a->entryCount);
        UseTestRoot(a);
        // In order: each selection goes on from the one before.
        for (uint32_t i = 0; i < rows.size(); i++) {
            const ManifestRow& row = rows[i];
            SCOPED_TRACE(row.name);
            ASSERT_EQ(RESULT_OK, SelectEntry(a, i));
            EXPECT_EQ(row.size, a->header.uncompressedSize);
            EXPECT_EQ(row.compressedSize, a->header.compressedSize);
            EXPECT_EQ(row.crc, a->header.crc32);
            if (IsAscii(row.name)) {
                EXPECT_EQ(Backslashed(row.name), NamePart(a));
                EXPECT_EQ(0, a->hasWidePath);
            } else {
                ASSERT_EQ(1, a->hasWidePath);
                EXPECT_TRUE(L"R\\" + Backslashed(Utf8ToWide(row.name)) == a->widePath) << "wide path";
            }
            if (row.hasUnixMtime) {
                EXPECT_EQ(UnixTicks(row.unixMtime), Ticks(a->writeTime));
            }
            if (row.isDirectory())
                continue;
            if (!sources.count(row.source)) {
                ASSERT_TRUE(ReadSource(row.source, sources[row.source])) << row.source;
            }
            std::string out(row.size, '\0');
            ASSERT_EQ(RESULT_OK, ExtractEntry(a, &out[0], EXTRACT_TO_MEMORY));
            EXPECT_TRUE(out == sources[row.source]) << "data differ";
        }
        // The last entry is found by its name as stored.
        EXPECT_EQ(RESULT_OK, FindEntry(a, rows.back().name.c_str(), 0));
        EXPECT_EQ((int32_t)rows.size() - 1, a->currentIndex);
    }
}

}  // namespace
