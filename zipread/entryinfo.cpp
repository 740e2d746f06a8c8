// entryinfo.cpp -- what a selection tells about its entry: the output path
// under the root directory, Windows attributes and the three time stamps.
#include "zipread.h"

const uint16_t EXTRA_UT_ID = 0x5455;  // "UT": extended time stamp
const uint8_t UT_MODIFICATION = 0x01;
const uint8_t UT_ACCESS = 0x02;
const uint8_t UT_CREATION = 0x04;

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

static bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

static char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// Length of the name component starting at `p`: up to a separator or the end.
static uint32_t ComponentLength(const char* p)
{
    uint32_t n = 0;
    while (p[n] && !IsSeparator(p[n]))
        n++;
    return n;
}

// Windows may read a component of two or more dots and blanks ("...", ". .",
// ".. ") as "..", so such a component is treated as one.
static bool IsDotsComponent(const char* p, uint32_t length)
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
static bool IsDeviceComponent(const char* p, uint32_t length)
{
    uint32_t base = 0;
    while (base < length && p[base] != '.')
        base++;
    while (base > 0 && p[base - 1] == ' ')
        base--;
    if (base != 3 && base != 4)
        return false;
    char u[4];
    for (uint32_t i = 0; i < base; i++)
        u[i] = Upper(p[i]);
    if (base == 3)
        return (u[0] == 'C' && u[1] == 'O' && u[2] == 'N') || (u[0] == 'P' && u[1] == 'R' && u[2] == 'N') ||
               (u[0] == 'A' && u[1] == 'U' && u[2] == 'X') || (u[0] == 'N' && u[1] == 'U' && u[2] == 'L');
    bool com = u[0] == 'C' && u[1] == 'O' && u[2] == 'M';
    bool lpt = u[0] == 'L' && u[1] == 'P' && u[2] == 'T';
    // Windows also takes the superscript digits 1, 2 and 3 of the ANSI code
    // page (bytes B9, B2, B3) as port numbers.
    uint8_t digit = (uint8_t)u[3];
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
// becomes '_'; a device-name component gets a '_' in front; a component of
// dots and blanks counts as ".."; and a name that ends in such a component,
// or whose cut leaves one at its end, ends at the root.
void BuildEntryPath(Archive* archive, const char* name)
{
    char* path = archive->path;
    uint32_t root = archive->rootLength < MAX_PATH_TEXT ? archive->rootLength : MAX_PATH_TEXT;
    uint32_t out = root;
    char prev = '\\';
    const char* p = name;
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
        char c = *p++;
        if (IsSeparator(c)) {
            if (prev != '\\') {
                path[out++] = '\\';
                prev = '\\';
            }
        } else {
            if (c == ':')
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

// Takes the UT block's values that lie inside both the block and the extra
// field; a flagged value that does not keeps the time from the DOS stamp.
static void ApplyUtBlock(Archive* archive, const uint8_t* extra, uint32_t extraLength, uint32_t h,
                         uint32_t dataLength)
{
    uint8_t flags = extra[h + 4];
    uint32_t blockEnd = h + 4 + dataLength;
    uint32_t t = h + 5;
    FILETIME* targets[3] = {&archive->writeTime, &archive->accessTime, &archive->creationTime};
    const uint8_t bits[3] = {UT_MODIFICATION, UT_ACCESS, UT_CREATION};
    for (int i = 0; i < 3; i++) {
        if (!(flags & bits[i]))
            continue;
        if (t + 4 <= blockEnd && t + 4 <= extraLength) {
            uint32_t seconds = (uint32_t)extra[t] | (uint32_t)extra[t + 1] << 8 |
                               (uint32_t)extra[t + 2] << 16 | (uint32_t)extra[t + 3] << 24;
            UnixTimeToFileTime(targets[i], seconds);
        }
        t += 4;
    }
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

    // A block is looked at only when its 4-byte head and at least one data
    // byte lie inside the extra field.
    if (!extra || extraLength <= 4)
        return;
    uint32_t at = 0;
    for (;;) {
        uint16_t id = (uint16_t)(extra[at] | extra[at + 1] << 8);
        uint32_t dataLength = (uint32_t)extra[at + 2] | (uint32_t)extra[at + 3] << 8;
        if (id == EXTRA_UT_ID) {
            ApplyUtBlock(archive, extra, extraLength, at, dataLength);
            return;
        }
        if (at + dataLength + 8 >= extraLength)
            return;
        at += 4 + dataLength;
    }
}
