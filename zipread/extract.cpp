// extract.cpp -- puts the current entry where the script asked: into a block
// of memory, into a new file (creating the directories on its path), or onto
// a handle the caller holds. Directory entries become directories.
#include "zipread.h"

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

// Creates each directory along `path`, cutting the text at one backslash at a
// time and putting it back afterwards. A drive prefix and one leading
// backslash are passed over; a trailing backslash ends the walk. The last
// component is a directory only when `lastIsDirectory` says so.
template <typename Char>
static BOOL CreateDirectoriesAlong(Char* path, BOOL lastIsDirectory)
{
    Char* p = path;
    if (p[0] != '\0' && p[1] == ':')
        p += 2;
    if (*p == '\\')
        p++;
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

static HANDLE CreateFileOf(const char* path, DWORD attributes)
{
    return CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
}

static HANDLE CreateFileOf(const wchar_t* path, DWORD attributes)
{
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
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

// Decodes the entry onto `handle` through the archive's write buffer, then
// gives the handle the entry's times. Data that stops short of the recorded
// size is a decoding failure: the file would not be the entry.
static void WriteToHandle(Archive* archive, HANDLE handle)
{
    OpenEntryStream(archive);
    if (archive->error != 0)
        return;
    if (!archive->writeBuffer) {
        archive->writeBuffer = (uint8_t*)AllocateBlock(WRITE_BLOCK_SIZE);
        if (!archive->writeBuffer) {
            archive->error = RESULT_NO_MEMORY;
            return;
        }
    }
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

// Creates the file at `path` with the entry's attributes, replacing one of
// that name, after the folders along the path. Files of one folder mostly
// follow each other, and making the folders costs a call or two for each
// level even when they all exist, so a file in the folder of the last one
// is created straight away; should that fail (the folder removed since, say),
// the folders are made after all and the file tried once more.
template <typename Char>
static HANDLE CreateFileAlong(Archive* archive, Char* path, Char* madeFolder)
{
    uint32_t folder = FolderLength(path);
    DWORD attributes = archive->header.externalAttributes;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (folder > 0 && SameFolder(path, folder, madeFolder))
        file = CreateFileOf(path, attributes);
    if (file != INVALID_HANDLE_VALUE)
        return file;
    madeFolder[0] = '\0';
    if (!CreatePathDirectories(path, FALSE))
        return INVALID_HANDLE_VALUE;
    file = CreateFileOf(path, attributes);
    if (file != INVALID_HANDLE_VALUE && folder > 0) {
        for (uint32_t i = 0; i < folder; i++)
            madeFolder[i] = path[i];
        madeFolder[folder] = '\0';
    }
    return file;
}

// Creates the file (see CreateFileAlong) and writes the entry into it. On a
// failure after creation the file stays, with whatever was written. The
// folders come first: a name such as "a/." must find "a" made as a folder,
// not be created as a file named "a", so such a name never skips them.
static void ExtractToPath(Archive* archive, char* path)
{
    HANDLE file;
    if (UsesWidePath(archive, path)) {
        archive->madeFolder[0] = '\0';
        file = CreateFileAlong(archive, archive->widePath, archive->madeWideFolder);
    } else {
        archive->madeWideFolder[0] = '\0';
        file = CreateFileAlong(archive, path, archive->madeFolder);
    }
    if (file == INVALID_HANDLE_VALUE) {
        archive->error = RESULT_CANT_OPEN;
        return;
    }
    WriteToHandle(archive, file);
    CloseHandle(file);
}

// Deflate codes a match of 258 bytes in as little as two bits, so no byte of
// deflate data yields more than 1,032 bytes; stored data yields itself.
const uint64_t DEFLATE_MOST_PER_BYTE = 1032;

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
    if (input >= UINT64_MAX / DEFLATE_MOST_PER_BYTE - 1)
        return UINT64_MAX;
    return (input + 1) * DEFLATE_MOST_PER_BYTE;
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
