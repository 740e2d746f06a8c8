// mutate.cpp -- how the fuzzer breaks an archive: each mutation picks a place
// (anywhere, or a field of a ZIP record or the gzip header and trailer) and a
// way to break it.
#include "mutate.h"

#include <string.h>

uint64_t FuzzRandom::Next()
{
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t FuzzRandom::Below(uint32_t bound)
{
    return bound == 0 ? 0 : (uint32_t)(Next() % bound);
}

namespace {

// Field offsets within each record, with their widths: where a reader takes
// counts, sizes, offsets and flags from.
struct Field {
    uint32_t offset, width;
};
const Field CENTRAL_FIELDS[] = {{4, 2}, {8, 2}, {10, 2}, {12, 2}, {16, 4}, {20, 4}, {24, 4}, {28, 2},
                                {30, 2}, {32, 2}, {34, 2}, {38, 4}, {42, 4}};
const Field LOCAL_FIELDS[] = {{6, 2}, {8, 2}, {14, 4}, {18, 4}, {22, 4}, {26, 2}, {28, 2}};
const Field END_FIELDS[] = {{4, 2}, {6, 2}, {8, 2}, {10, 2}, {12, 4}, {16, 4}, {20, 2}};
const Field GZIP_FIELDS[] = {{2, 1}, {3, 1}, {4, 4}, {10, 2}};

struct Signature {
    const char* bytes;
    const Field* fields;
    uint32_t count;
};
const Signature SIGNATURES[] = {
    {"PK\1\2", CENTRAL_FIELDS, sizeof CENTRAL_FIELDS / sizeof CENTRAL_FIELDS[0]},
    {"PK\3\4", LOCAL_FIELDS, sizeof LOCAL_FIELDS / sizeof LOCAL_FIELDS[0]},
    {"PK\5\6", END_FIELDS, sizeof END_FIELDS / sizeof END_FIELDS[0]},
};

uint32_t InterestingValue(FuzzRandom& random, uint32_t width, size_t inputSize)
{
    static const uint32_t values[] = {0,          1,          2,          7,          8,          0x7F,
                                      0x80,       0xFF,       0x100,      0x7FFF,     0x8000,     0xFFFF,
                                      0x10000,    0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x3FFFFFFF};
    uint32_t value;
    switch (random.Below(4)) {
    case 0: value = (uint32_t)inputSize + random.Below(5) - 2; break;  // around the input's size
    case 1: value = (uint32_t)random.Next(); break;
    default: value = values[random.Below(sizeof values / sizeof values[0])]; break;
    }
    if (width == 1)
        return value & 0xFF;
    if (width == 2)
        return value & 0xFFFF;
    return value;
}

void Poke(std::string& bytes, size_t at, uint32_t width, uint32_t value)
{
    for (uint32_t i = 0; i < width && at + i < bytes.size(); i++)
        bytes[at + i] = (char)(value >> (8 * i));
}

// A field of a record found in `bytes`, or false when there is none.
bool PickField(const std::string& bytes, FuzzRandom& random, size_t* at, uint32_t* width)
{
    if (bytes.size() >= 2 && (uint8_t)bytes[0] == 0x1F && (uint8_t)bytes[1] == 0x8B && random.OneIn(2)) {
        if (random.OneIn(3) && bytes.size() >= 8) {  // the trailer: CRC-32 or ISIZE
            *at = bytes.size() - (random.OneIn(2) ? 4 : 8);
            *width = 4;
        } else {
            const Field& f = GZIP_FIELDS[random.Below(sizeof GZIP_FIELDS / sizeof GZIP_FIELDS[0])];
            *at = f.offset;
            *width = f.width;
        }
        return true;
    }
    std::vector<std::pair<size_t, const Signature*>> found;
    for (const Signature& s : SIGNATURES)
        for (size_t p = bytes.find(s.bytes, 0, 4); p != std::string::npos; p = bytes.find(s.bytes, p + 1, 4))
            found.push_back({p, &s});
    if (found.empty())
        return false;
    const auto& record = found[random.Below((uint32_t)found.size())];
    const Field& f = record.second->fields[random.Below(record.second->count)];
    *at = record.first + f.offset;
    *width = f.width;
    return true;
}

void MutateOnce(std::string& bytes, const std::vector<std::string>& others, FuzzRandom& random)
{
    size_t size = bytes.size();
    switch (random.Below(9)) {
    case 0:  // flip one bit
        if (size)
            bytes[random.Below((uint32_t)size)] ^= (char)(1 << random.Below(8));
        break;
    case 1:  // one byte set to a value that hurts
        if (size)
            bytes[random.Below((uint32_t)size)] = (char)InterestingValue(random, 1, size);
        break;
    case 2:
    case 3:
    case 4: {  // a field of a record overwritten
        size_t at;
        uint32_t width;
        if (PickField(bytes, random, &at, &width))
            Poke(bytes, at, width, InterestingValue(random, width, size));
        else if (size)
            Poke(bytes, random.Below((uint32_t)size), 4, InterestingValue(random, 4, size));
        break;
    }
    case 5:  // truncated, often close to the end where the end record lives
        if (size)
            bytes.resize(random.OneIn(2) ? random.Below((uint32_t)size)
                                         : size - 1 - random.Below((uint32_t)(size < 64 ? size : 64)));
        break;
    case 6: {  // a range removed
        if (size < 2)
            break;
        size_t at = random.Below((uint32_t)size);
        bytes.erase(at, 1 + random.Below((uint32_t)(size - at < 256 ? size - at : 256)));
        break;
    }
    case 7: {  // a range of this archive copied elsewhere in it
        if (size < 2)
            break;
        size_t from = random.Below((uint32_t)size);
        std::string chunk = bytes.substr(from, 1 + random.Below(128));
        bytes.insert(random.Below((uint32_t)size), chunk);
        break;
    }
    default: {  // spliced with another archive: our head, its tail
        if (others.empty())
            break;
        const std::string& other = others[random.Below((uint32_t)others.size())];
        size_t cut = random.Below((uint32_t)size + 1);
        size_t from = random.Below((uint32_t)other.size() + 1);
        bytes = bytes.substr(0, cut) + other.substr(from);
        break;
    }
    }
}

}  // namespace

std::string Mutate(const std::string& input, const std::vector<std::string>& others, FuzzRandom& random)
{
    std::string bytes = input;
    uint32_t count = 1 + random.Below(4);
    for (uint32_t i = 0; i < count; i++)
        MutateOnce(bytes, others, random);
    return bytes;
}
