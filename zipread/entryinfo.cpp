// entryinfo.cpp -- what a selection tells about its entry: the output path
// under the root directory, Windows attributes and the three time stamps.
#include "zipread.h"

const uint16_t EXTRA_UT_ID = 0x5455;  // "UT": extended time stamp
const uint8_t UT_MODIFICATION = 0x01;
const uint8_t UT_ACCESS = 0x02;
const uint8_t UT_CREATION = 0x04;

// NTFS block: 4 reserved bytes, then attributes (tag, size, data); tag 1
// holds the modification, access and creation times as FILETIMEs.
const uint16_t EXTRA_NTFS_ID = 0x000A;
const uint16_t NTFS_TIMES_TAG = 1;
const uint32_t NTFS_RESERVED_LENGTH = 4;

// The old Info-ZIP Unix block ("UX"): access, then modification time, as Unix
// seconds; the local copy goes on with user and group ids.
const uint16_t EXTRA_OLD_UNIX_ID = 0x5855;

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
const uint64_t UNIX_EPOCH_AS_FILETIME = 0x019DB1DED53E8000ull;

// Hosts of the version-made-by field (its high byte) whose external
// attributes are MS-DOS attribute bits; 0 is MS-DOS FAT.
static bool HasDosAttributes(uint8_t host)
{
    return host == 0 || host == 7 || host == 11 || host == 14;
}

const uint32_t DOS_ATTRIBUTE_MASK = 0x37;       // read-only, hidden, system, directory, archive
const uint32_t UNIX_DIRECTORY_BIT = 0x40000000; // S_IFDIR (0x4000) in the high half
const uint32_t UNIX_OWNER_WRITE_BIT = 0x00800000; // S_IWUSR (0x80) in the high half

// Characters compare by their code: the normalisation below runs the same
// on ANSI text and on wide text, and looks only at ASCII characters and the
// superscript digits, which have one code in both.
static uint32_t Code(char c)
{
    return (uint8_t)c;
}

static uint32_t Code(wchar_t c)
{
    return (uint16_t)c;
}

template <typename Char>
static bool IsSeparator(Char c)
{
    return c == '/' || c == '\\';
}

static uint32_t Upper(uint32_t c)
{
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

// Characters Windows refuses in a file name, besides the separators: ':'
// would also open an alternate data stream or a drive-relative path.
static bool IsForbiddenInName(uint32_t c)
{
    return (c >= 0x01 && c <= 0x1F) || c == ':' || c == '"' || c == '<' || c == '>' || c == '|' ||
           c == '*' || c == '?';
}

// Length of the name component starting at `p`: up to a separator or the end.
template <typename Char>
static uint32_t ComponentLength(const Char* p)
{
    uint32_t n = 0;
    while (p[n] && !IsSeparator(p[n]))
        n++;
    return n;
}

// Windows may read a component of two or more dots and blanks ("...", ". .",
// ".. ") as "..", so such a component is treated as one.
template <typename Char>
static bool IsDotsComponent(const Char* p, uint32_t length)
{
    if (length < 2)
        return false;
    for (uint32_t i = 0; i < length; i++)
        if (p[i] != '.' && p[i] != ' ')
            return false;
    return true;
}

// A DOS device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, any case) names the
// device wherever it stands in a path, alone or before a dot or blanks:
// the part before the first dot, less trailing blanks, is what counts.
template <typename Char>
static bool IsDeviceComponent(const Char* p, uint32_t length)
{
    uint32_t base = 0;
    while (base < length && p[base] != '.')
        base++;
    while (base > 0 && p[base - 1] == ' ')
        base--;
    if (base != 3 && base != 4)
        return false;
    uint32_t u[4];
    for (uint32_t i = 0; i < base; i++)
        u[i] = Upper(Code(p[i]));
    if (base == 3)
        return (u[0] == 'C' && u[1] == 'O' && u[2] == 'N') || (u[0] == 'P' && u[1] == 'R' && u[2] == 'N') ||
               (u[0] == 'A' && u[1] == 'U' && u[2] == 'X') || (u[0] == 'N' && u[1] == 'U' && u[2] == 'L');
    bool com = u[0] == 'C' && u[1] == 'O' && u[2] == 'M';
    bool lpt = u[0] == 'L' && u[1] == 'P' && u[2] == 'T';
    // Windows also takes the superscript digits 1, 2 and 3 of the ANSI code
    // page (bytes B9, B2, B3; the same codes in Unicode) as port numbers.
    uint32_t digit = u[3];
    bool port = (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    return (com || lpt) && port;
}

// The root directory stays; the entry's name follows it with forward slashes
// turned into backslashes, leading and repeated separators dropped, a drive
// prefix removed, and every ".." component that ends in a separator sending
// the path back to the root, so that it never climbs above it. The whole
// text is cut at 260 characters.
//
// Windows offers more ways out of the root, closed here as well: a ':' left
// after the drive prefix (alternate data streams, drive-relative paths)
// becomes '_', as does every other character Windows refuses in a name
// ("<>|*? and the control characters); a device-name component gets a '_'
// in front; a component of dots and blanks counts as ".."; and a name that
// ends in such a component, or whose cut leaves one at its end, ends at the
// root.
template <typename Char>
static void NormaliseUnderRoot(Char* path, uint32_t root, const Char* name)
{
    uint32_t out = root;
    Char prev = '\\';
    const Char* p = name;
    if (p[0] && p[1] == ':')
        p += 2;

    while (*p && out < MAX_PATH_TEXT) {
        if (IsSeparator(p[0])) {
            uint32_t n = ComponentLength(p + 1);
            if (IsDotsComponent(p + 1, n) && IsSeparator(p[1 + n])) {
                out = root;
                p += n + 2;
                prev = '\\';
                continue;
            }
        } else if (prev == '\\') {
            // The start of a component.
            uint32_t n = ComponentLength(p);
            if (IsDotsComponent(p, n) && IsSeparator(p[n])) {
                out = root;
                p += n + 1;
                continue;
            }
            if (IsDeviceComponent(p, n)) {
                path[out++] = '_';
                if (out >= MAX_PATH_TEXT)
                    break;
            }
        }
        Char c = *p++;
        if (IsSeparator(c)) {
            if (prev != '\\') {
                path[out++] = '\\';
                prev = '\\';
            }
        } else {
            if (IsForbiddenInName(Code(c)))
                c = '_';
            path[out++] = c;
            prev = c;
        }
    }

    // The last component: one of dots and blanks (".." at the very end, or
    // left so by the cut) would name the root's parent; a device name left
    // by the cut would name the device.
    uint32_t last = out;
    while (last > root && path[last - 1] != '\\')
        last--;
    if (IsDotsComponent(path + last, out - last))
        out = root;
    else if (IsDeviceComponent(path + last, out - last))
        out = last;
    path[out] = '\0';
}

void BuildEntryPath(Archive* archive, const char* name)
{
    uint32_t root = archive->rootLength < MAX_PATH_TEXT ? archive->rootLength : MAX_PATH_TEXT;
    NormaliseUnderRoot(archive->path, root, name);
}

// The root is ANSI text; in wide characters it may take fewer places. A root
// that does not convert leaves the entry without a wide path.
void BuildWideEntryPath(Archive* archive, const wchar_t* name)
{
    archive->hasWidePath = 0;
    uint32_t root = archive->rootLength < MAX_PATH_TEXT ? archive->rootLength : MAX_PATH_TEXT;
    int made = 0;
    if (root > 0) {
        made = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, archive->path, (int)root, archive->widePath,
                                   MAX_PATH_TEXT);
        if (made <= 0)
            return;
    }
    NormaliseUnderRoot(archive->widePath, (uint32_t)made, name);
    archive->hasWidePath = 1;
}

uint32_t MapAttributes(uint16_t versionMadeBy, uint32_t externalAttributes)
{
    uint8_t host = (uint8_t)(versionMadeBy >> 8);
    if (HasDosAttributes(host))
        return externalAttributes & DOS_ATTRIBUTE_MASK;
    // Unix and the rest: the mode sits in the high 16 bits.
    uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (externalAttributes & UNIX_DIRECTORY_BIT)
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(externalAttributes & UNIX_OWNER_WRITE_BIT))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

void DosTimeToFileTime(FILETIME* out, uint16_t dosDate, uint16_t dosTime)
{
    SYSTEMTIME st;
    st.wYear = (WORD)(((dosDate >> 9) & 0x7F) + 1980);
    st.wMonth = (WORD)((dosDate >> 5) & 0x0F);
    st.wDayOfWeek = 0;
    st.wDay = (WORD)(dosDate & 0x1F);
    st.wHour = (WORD)((dosTime >> 11) & 0x1F);
    st.wMinute = (WORD)((dosTime >> 5) & 0x3F);
    st.wSecond = (WORD)((dosTime & 0x1F) * 2);
    st.wMilliseconds = 0;
    // A stamp that names no time (month 0, day 0, hour 24 and the like) gives
    // the zero FILETIME, which SetFileTime takes as "leave unchanged".
    if (!SystemTimeToFileTime(&st, out)) {
        out->dwLowDateTime = 0;
        out->dwHighDateTime = 0;
    }
}

void UnixTimeToFileTime(FILETIME* out, uint32_t seconds)
{
    int64_t value = (int64_t)(int32_t)seconds * 10000000 + (int64_t)UNIX_EPOCH_AS_FILETIME;
    out->dwLowDateTime = (DWORD)value;
    out->dwHighDateTime = (DWORD)((uint64_t)value >> 32);
}

static bool IsZero(const FILETIME& t)
{
    return t.dwLowDateTime == 0 && t.dwHighDateTime == 0;
}

static uint32_t Get32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Each time block below is taken the same way: a value is used only when its
// bytes lie inside the block (FindExtraBlock has already cut the block to the
// extra field); a value that does not keeps the time from the DOS stamp.

// The UT block: a flags byte, then a value for each flag bit set, in the
// order modification, access, creation.
static void ApplyUtBlock(Archive* archive, const uint8_t* data, uint32_t length)
{
    uint8_t flags = data[0];
    uint32_t t = 1;
    FILETIME* targets[3] = {&archive->writeTime, &archive->accessTime, &archive->creationTime};
    const uint8_t bits[3] = {UT_MODIFICATION, UT_ACCESS, UT_CREATION};
    for (int i = 0; i < 3; i++) {
        if (!(flags & bits[i]))
            continue;
        if (length >= 4 && t <= length - 4)
            UnixTimeToFileTime(targets[i], Get32(data + t));
        t += 4;
    }
}

// The NTFS block's times attribute. A zero FILETIME names no time, so it
// keeps the DOS stamp's. Gives false when the block holds no times attribute.
static bool ApplyNtfsBlock(Archive* archive, const uint8_t* data, uint32_t length)
{
    uint32_t at = NTFS_RESERVED_LENGTH;
    while (length >= 4 && at <= length - 4) {
        uint32_t tag = (uint32_t)data[at] | (uint32_t)data[at + 1] << 8;
        uint32_t size = (uint32_t)data[at + 2] | (uint32_t)data[at + 3] << 8;
        at += 4;
        if (tag != NTFS_TIMES_TAG) {
            at += size;
            continue;
        }
        uint32_t inside = length - at < size ? length - at : size;
        FILETIME* targets[3] = {&archive->writeTime, &archive->accessTime, &archive->creationTime};
        for (uint32_t i = 0; i < 3 && 8 * (i + 1) <= inside; i++) {
            FILETIME t = {Get32(data + at + 8 * i), Get32(data + at + 8 * i + 4)};
            if (!IsZero(t))
                *targets[i] = t;
        }
        return true;
    }
    return false;
}

// The old Unix block: access, then modification time.
static void ApplyOldUnixBlock(Archive* archive, const uint8_t* data, uint32_t length)
{
    if (length >= 4)
        UnixTimeToFileTime(&archive->accessTime, Get32(data));
    if (length >= 8)
        UnixTimeToFileTime(&archive->writeTime, Get32(data + 4));
}

void SetEntryTimes(Archive* archive, const uint8_t* extra, uint32_t extraLength)
{
    const CentralHeader& h = archive->header;
    FILETIME stamp = {0, 0};

    if (archive->flags & ARCHIVE_GZIP) {
        // gzip MTIME, kept in the DOS fields as stored: Unix seconds, 0 for
        // no time at all.
        uint32_t mtime = (uint32_t)h.dosTime | (uint32_t)h.dosDate << 16;
        if (mtime != 0)
            UnixTimeToFileTime(&stamp, mtime);
        archive->accessTime = archive->creationTime = archive->writeTime = stamp;
        return;
    }

    // The DOS stamp is local time.
    FILETIME local;
    DosTimeToFileTime(&local, h.dosDate, h.dosTime);
    if (!IsZero(local) && !LocalFileTimeToFileTime(&local, &stamp))
        stamp = FILETIME{0, 0};
    archive->accessTime = archive->creationTime = archive->writeTime = stamp;

    // The UT block wins; without one, the NTFS block's times, then the old
    // Unix block's. The DOS stamp stays for whatever they lack.
    const uint8_t* data;
    uint32_t length;
    if (FindExtraBlock(extra, extraLength, EXTRA_UT_ID, &data, &length)) {
        ApplyUtBlock(archive, data, length);
        return;
    }
    if (FindExtraBlock(extra, extraLength, EXTRA_NTFS_ID, &data, &length) && ApplyNtfsBlock(archive, data, length))
        return;
    if (FindExtraBlock(extra, extraLength, EXTRA_OLD_UNIX_ID, &data, &length))
        ApplyOldUnixBlock(archive, data, length);
}
