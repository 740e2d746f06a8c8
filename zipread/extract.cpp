// extract.cpp -- puts the current entry where the script asked: into a block
// of memory, into a file (creating the directories on its path), or onto a
// handle the caller holds. Directory entries become directories. A file is
// all or nothing: it becomes the whole entry, or stays as it was.
#include "methods.h"

// An existing directory is as good as a new one; anything else at that name
// (a file, say) is not a directory we can put entries in.
static bool MakeDirectory(const char* path)
{
    SECURITY_ATTRIBUTES security = { sizeof(security), nullptr, TRUE };
    if (CreateDirectoryA(path, &security))
        return true;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static bool MakeDirectory(const wchar_t* path)
{
    SECURITY_ATTRIBUTES security = { sizeof(security), nullptr, TRUE };
    if (CreateDirectoryW(path, &security))
        return true;
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// How much of `path` names the volume it lies on, which no folder walk may
// try to create: "C:" and one backslash; a UNC share ("\\server\share\");
// a "\\?\" or "\\.\" prefix with the drive or "UNC\server\share\" after
// it; or a single leading backslash.
template <typename Char>
static uint32_t SkipComponents(const Char* path, uint32_t at, uint32_t count)
{
    for (uint32_t i = 0; i < count && path[at] != '\0'; i++) {
        while (path[at] != '\0' && path[at] != '\\')
            at++;
        if (path[at] == '\\')
            at++;
    }
    return at;
}

template <typename Char>
static bool IsDrive(const Char* p)
{
    return ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':';
}

template <typename Char>
static uint32_t VolumeLength(const Char* path)
{
    if (path[0] == '\\' && path[1] == '\\') {
        if ((path[2] == '?' || path[2] == '.') && path[3] == '\\') {
            const Char* rest = path + 4;
            if (IsDrive(rest))
                return rest[2] == '\\' ? 7 : 6;
            if ((rest[0] == 'U' || rest[0] == 'u') && (rest[1] == 'N' || rest[1] == 'n') &&
                (rest[2] == 'C' || rest[2] == 'c') && rest[3] == '\\')
                return SkipComponents(path, 8, 2);
            return SkipComponents(path, 4, 1);
        }
        return SkipComponents(path, 2, 2);
    }
    if (IsDrive(path))
        return path[2] == '\\' ? 3 : 2;
    return path[0] == '\\' ? 1 : 0;
}

// Creates each directory along `path` after its volume, cutting the text at
// one backslash at a time and putting it back afterwards. A trailing
// backslash ends the walk. The last component is a directory only when
// `lastIsDirectory` says so.
template <typename Char>
static BOOL CreateDirectoriesAlong(Char* path, BOOL lastIsDirectory)
{
    Char* p = path + VolumeLength(path);
    while (*p != '\0') {
        Char* separator = p;
        while (*separator != '\0' && *separator != '\\')
            separator++;
        bool last = *separator == '\0';
        if (last && !lastIsDirectory)
            return TRUE;
        *separator = '\0';
        bool made = MakeDirectory(path);
        if (!last)
            *separator = '\\';
        if (!made)
            return FALSE;
        if (last)
            return TRUE;
        p = separator + 1;
    }
    return TRUE;
}

BOOL CreatePathDirectories(char* path, BOOL lastIsDirectory)
{
    return CreateDirectoriesAlong(path, lastIsDirectory);
}

BOOL CreatePathDirectories(wchar_t* path, BOOL lastIsDirectory)
{
    return CreateDirectoriesAlong(path, lastIsDirectory);
}

// A target that is exactly the current entry's path, when its name is Unicode
// text, is created under the name's true characters, which the ANSI code page
// may lack. Any other target is used as it stands.
static bool UsesWidePath(const Archive* archive, const char* target)
{
    if (!archive->hasWidePath)
        return false;
    uint32_t i = 0;
    while (target[i] != '\0' && target[i] == archive->path[i])
        i++;
    return target[i] == archive->path[i];
}

// The file calls, in ANSI and in wide characters, for the templates below.
static HANDLE CreateFileOf(const char* path, DWORD disposition, DWORD attributes)
{
    return CreateFileA(path, GENERIC_WRITE, 0, nullptr, disposition, attributes, nullptr);
}

static HANDLE CreateFileOf(const wchar_t* path, DWORD disposition, DWORD attributes)
{
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, disposition, attributes, nullptr);
}

// A file of ours that must go: made writable first, since the entry's
// attributes may have made it read-only.
static void RemoveFile(const char* path)
{
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path);
}

static void RemoveFile(const wchar_t* path)
{
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path);
}

static DWORD AttributesOf(const char* path)
{
    return GetFileAttributesA(path);
}

static DWORD AttributesOf(const wchar_t* path)
{
    return GetFileAttributesW(path);
}

static BOOL ReplaceWith(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING);
}

static BOOL ReplaceWith(const wchar_t* from, const wchar_t* to)
{
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
}

// Decodes the whole entry into the caller's buffer in one read.
static void ExtractToMemory(Archive* archive, void* buffer)
{
    // No block of memory can hold 4 GiB or more here.
    if (archive->header.uncompressedSize > 0xFFFFFFFFu) {
        archive->error = RESULT_NO_MEMORY;
        return;
    }
    OpenEntryStream(archive);
    if (archive->error != 0)
        return;
    ReadEntryData(archive, buffer, (uint32_t)archive->header.uncompressedSize);
    if (archive->error == 0 && archive->stream->uncompressedLeft != 0)
        archive->error = RESULT_MEMORY_TOO_SMALL;
}

// Opens the entry's stream for a file or a handle, and the write buffer:
// every check that needs no output is made before anything is written.
static bool OpenForWriting(Archive* archive)
{
    OpenEntryStream(archive, true);
    if (archive->error != 0)
        return false;
    if (!archive->writeBuffer) {
        archive->writeBuffer = (uint8_t*)AllocateBlock(WRITE_BLOCK_SIZE);
        if (!archive->writeBuffer) {
            archive->error = RESULT_NO_MEMORY;
            return false;
        }
    }
    return true;
}

// Decodes the open entry onto `handle` through the archive's write buffer,
// then gives the handle the entry's times. Data that stops short of the
// recorded size is a decoding failure: the file would not be the entry.
static void DecodeOnto(Archive* archive, HANDLE handle)
{
    for (;;) {
        uint32_t n = ReadEntryData(archive, archive->writeBuffer, WRITE_BLOCK_SIZE);
        if (n == 0)
            break;
        DWORD written = 0;
        if (!WriteHandle(handle, archive->writeBuffer, n, &written) || written != n) {
            archive->error = RESULT_WRITE_FAILED;
            return;
        }
    }
    if (archive->error != 0)
        return;
    if (archive->stream->uncompressedLeft != 0) {
        archive->error = RESULT_FLATE;
        return;
    }
    SetFileTime(handle, &archive->creationTime, &archive->accessTime, &archive->writeTime);
}

// The folder part of `path`: its length up to the last backslash, when the
// name after it plainly names a file in that folder. A name of dots and blanks
// alone ("a\\.") would be read by Windows as the folder itself, and one with
// a forward slash as a name in a subfolder, so neither counts; nor does a
// folder longer than the record keeps.
template <typename Char>
static uint32_t FolderLength(const Char* path)
{
    uint32_t folder = 0;
    bool plain = false;
    for (uint32_t i = 0; path[i] != '\0'; i++) {
        if (path[i] == '\\') {
            folder = i;
            plain = false;
        } else if (path[i] == '/') {
            return 0;
        } else if (path[i] != '.' && path[i] != ' ') {
            plain = true;
        }
    }
    return plain && folder <= MAX_PATH_TEXT ? folder : 0;
}

template <typename Char>
static bool SameFolder(const Char* path, uint32_t length, const Char* made)
{
    for (uint32_t i = 0; i < length; i++)
        if (path[i] != made[i])
            return false;
    return made[length] == '\0';
}

// Creates a new file at `path` with the entry's attributes, after the
// folders along the path; `*exists` tells that a file (or anything else) of
// that name is there already. Files of one folder mostly follow each other,
// and making the folders costs a call or two for each level even when they
// all exist, so a file in the folder of the last one is created straight
// away; should that fail for another reason (the folder removed since, say),
// the folders are made after all and the file tried once more.
template <typename Char>
static HANDLE CreateNewFileAlong(Archive* archive, Char* path, Char* madeFolder, bool* exists)
{
    uint32_t folder = FolderLength(path);
    DWORD attributes = archive->header.externalAttributes;
    *exists = false;
    if (folder > 0 && SameFolder(path, folder, madeFolder)) {
        HANDLE file = CreateFileOf(path, CREATE_NEW, attributes);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            *exists = true;
            return INVALID_HANDLE_VALUE;
        }
    }
    madeFolder[0] = '\0';
    if (!CreatePathDirectories(path, FALSE))
        return INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileOf(path, CREATE_NEW, attributes);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    }
    if ((file != INVALID_HANDLE_VALUE || *exists) && folder > 0) {
        for (uint32_t i = 0; i < folder; i++)
            madeFolder[i] = path[i];
        madeFolder[folder] = '\0';
    }
    return file;
}

// The temporary file that an entry is written to beside a file it replaces:
// "~tvXXXX.tmp" in the same folder, so that the move over the old file stays
// on one volume. Gives false when that name would not fit a path.
const uint32_t TEMP_NAME_LENGTH = 11;

template <typename Char>
static bool TempNameBeside(const Char* path, Char* temp, uint32_t serial)
{
    uint32_t folder = 0;
    for (uint32_t i = 0; path[i] != '\0'; i++)
        if (path[i] == '\\' || path[i] == '/' || (i == 1 && path[i] == ':'))
            folder = i + 1;
    if (folder + TEMP_NAME_LENGTH > MAX_PATH_TEXT - 1)
        return false;
    for (uint32_t i = 0; i < folder; i++)
        temp[i] = path[i];
    static const char hex[] = "0123456789abcdef";
    const char head[] = "~tv";
    Char* p = temp + folder;
    for (uint32_t i = 0; i < 3; i++)
        *p++ = head[i];
    for (int shift = 12; shift >= 0; shift -= 4)
        *p++ = hex[(serial >> shift) & 0xF];
    const char tail[] = ".tmp";
    for (uint32_t i = 0; i < 5; i++)
        *p++ = tail[i];
    return true;
}

// Serials for temporary names: different in each process and each call (a
// name that is taken all the same is passed over). A plain variable, not a
// function's static: that would take a lock, and with it handles that stay.
static uint32_t tempSerial;

static uint32_t NextTempSerial()
{
    if (tempSerial == 0)
        tempSerial = GetCurrentProcessId() * 2654435761u + GetTickCount();
    return tempSerial += 0x9E37;
}

// Writes the entry over the file already at `path`. The file must be one we
// may replace: a read-only file, a folder, or a file that cannot be opened
// for writing (in use, say) is refused (1) before any work is done, as
// Windows refuses to overwrite them. The entry is written to a
// temporary file beside it, which replaces the old file only when the entry
// is whole and authentic, and is removed otherwise: the old file keeps its
// bytes, attributes and times until then.
template <typename Char>
static void ReplaceExisting(Archive* archive, const Char* path)
{
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
        archive->error = RESULT_CANT_OPEN;
        return;
    }
    HANDLE probe = CreateFileOf(path, OPEN_EXISTING, 0);
    if (probe == INVALID_HANDLE_VALUE) {
        archive->error = RESULT_CANT_OPEN;
        return;
    }
    CloseHandle(probe);

    Char temp[MAX_PATH_TEXT + 2];
    HANDLE file = INVALID_HANDLE_VALUE;
    for (uint32_t tries = 0; tries < 16 && file == INVALID_HANDLE_VALUE; tries++) {
        if (!TempNameBeside(path, temp, NextTempSerial()))
            break;
        file = CreateFileOf(temp, CREATE_NEW, archive->header.externalAttributes);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        archive->error = RESULT_CANT_OPEN;
        return;
    }
    DecodeOnto(archive, file);
    CloseHandle(file);
    if (archive->error == 0 && !ReplaceWith(temp, path))
        archive->error = RESULT_CANT_OPEN;
    if (archive->error != 0)
        RemoveFile(temp);
}

// Writes the entry to the file at `path`, all or nothing: a new file that
// does not become the whole entry is removed again, and a file that was
// there is replaced only by a whole entry (ReplaceExisting).
template <typename Char>
static void WriteFileSafely(Archive* archive, Char* path, Char* madeFolder)
{
    bool exists;
    HANDLE file = CreateNewFileAlong(archive, path, madeFolder, &exists);
    if (file != INVALID_HANDLE_VALUE) {
        DecodeOnto(archive, file);
        CloseHandle(file);
        if (archive->error != 0)
            RemoveFile(path);
        return;
    }
    if (exists)
        ReplaceExisting(archive, path);
    else
        archive->error = RESULT_CANT_OPEN;
}

// Extraction to a file: the entry's stream is opened, and with it every
// check that needs no output made, before the file is touched. The folders
// come first: a name such as "a/." must find "a" made as a folder, not be
// created as a file named "a", so such a name never skips them. Folders made
// for a file that then fails stay.
static void ExtractToPath(Archive* archive, char* path)
{
    if (!OpenForWriting(archive))
        return;
    if (UsesWidePath(archive, path)) {
        archive->madeFolder[0] = '\0';
        WriteFileSafely(archive, archive->widePath, archive->madeWideFolder);
    } else {
        archive->madeWideFolder[0] = '\0';
        WriteFileSafely(archive, path, archive->madeFolder);
    }
}

// Onto a caller's handle: what was written cannot be taken back, so a
// failure (18 above all) means the bytes on the handle must be discarded.
static void WriteToHandle(Archive* archive, HANDLE handle)
{
    if (OpenForWriting(archive))
        DecodeOnto(archive, handle);
}

// Deflate codes a match of 258 bytes in as little as two bits, so no byte of
// deflate data yields more than 1,032 bytes; Deflate64 codes one of 65,538
// bytes in 18 bits (a length code, its 16 extra bits, a distance code), so
// no more than 29,128; stored data yields itself. The other methods have no
// such bound worth the name (a few bytes of bzip2, XZ or Zstandard data may
// stand for megabytes).
const uint64_t DEFLATE_MOST_PER_BYTE = 1032;
const uint64_t DEFLATE64_MOST_PER_BYTE = 29128;

// Below this, a recorded size is taken as it is: a block of it costs little.
const uint64_t PROBE_THRESHOLD = 1u << 20;

uint64_t MostBytesDeliverable(const Archive* archive)
{
    const CentralHeader& header = archive->header;
    uint64_t input = header.compressedSize < archive->sourceSize ? header.compressedSize : archive->sourceSize;
    uint16_t method = header.method;
    if (method == METHOD_AES) {
        // Salt, verifier and code are no part of the data.
        uint32_t overhead = AesSaltLength(archive->aes.strength) + AES_VERIFIER_LENGTH + AES_CODE_LENGTH;
        input = input > overhead ? input - overhead : 0;
        method = archive->aes.method;
    }
    if (method == METHOD_STORED)
        return input;
    uint64_t most = method == METHOD_DEFLATED ? DEFLATE_MOST_PER_BYTE
                    : method == METHOD_DEFLATE64 ? DEFLATE64_MOST_PER_BYTE
                                                 : 0;
    if (most == 0 || input >= UINT64_MAX / most - 1)
        return UINT64_MAX;
    return (input + 1) * most;
}

uint32_t CheckMemoryExtraction(Archive* archive)
{
    uint64_t size = archive->header.uncompressedSize;
    if (size > MostBytesDeliverable(archive))
        return RESULT_MEMORY_TOO_SMALL;
    uint64_t input = archive->header.compressedSize;
    if (size <= PROBE_THRESHOLD || input >= UINT64_MAX / DEFLATE_MOST_PER_BYTE ||
        size <= input * DEFLATE_MOST_PER_BYTE)
        return RESULT_OK;
    // Decoded once to nowhere: a forged size costs the time of the real
    // data, not a block of memory the data can never fill.
    archive->error = RESULT_OK;
    if (!archive->writeBuffer)
        archive->writeBuffer = (uint8_t*)AllocateBlock(WRITE_BLOCK_SIZE);
    if (!archive->writeBuffer)
        return RESULT_NO_MEMORY;
    OpenEntryStream(archive);
    while (archive->error == 0 && ReadEntryData(archive, archive->writeBuffer, WRITE_BLOCK_SIZE) != 0) {
    }
    uint32_t code = archive->error;
    if (code == 0 && archive->stream->uncompressedLeft != 0)
        code = RESULT_MEMORY_TOO_SMALL;
    EndEntryStream(archive);
    archive->error = RESULT_OK;
    return code;
}

// Extraction consumes the selection: afterwards there is no current entry,
// except after a directory entry was created or passed over.
uint32_t ExtractEntry(Archive* archive, void* target, uint32_t mode)
{
    if (archive->currentIndex == -1)
        return RESULT_BAD_ARGUMENTS;
    if (mode != EXTRACT_TO_MEMORY && mode != EXTRACT_TO_PATH && mode != EXTRACT_TO_HANDLE)
        return RESULT_BAD_ARGUMENTS;
    if (!target && (mode == EXTRACT_TO_PATH ||
                    (mode == EXTRACT_TO_MEMORY && archive->header.uncompressedSize != 0)))
        return RESULT_BAD_ARGUMENTS;
    archive->error = RESULT_OK;

    if (mode == EXTRACT_TO_MEMORY) {
        ExtractToMemory(archive, target);
    } else if (archive->header.externalAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (mode == EXTRACT_TO_HANDLE)
            return RESULT_OK;
        char* path = (char*)target;
        if (UsesWidePath(archive, path) ? CreatePathDirectories(archive->widePath, TRUE)
                                        : CreatePathDirectories(path, TRUE))
            return RESULT_OK;
        archive->error = RESULT_CANT_OPEN;
    } else if (mode == EXTRACT_TO_PATH) {
        ExtractToPath(archive, (char*)target);
    } else if ((HANDLE)target == INVALID_HANDLE_VALUE) {
        archive->error = RESULT_CANT_OPEN;
    } else {
        WriteToHandle(archive, (HANDLE)target);
    }

    CloseEntryStream(archive);
    return archive->error;
}
