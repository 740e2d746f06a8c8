// inflate64_test.cpp -- the Deflate64 decoder on streams built bit by bit
// here (stored, fixed and dynamic blocks, length symbol 285 with its 16 extra
// bits, distance codes 30 and 31), on malformed ones, fed whole, byte by byte
// and in random pieces, and on the entries 7-Zip compressed with Deflate64.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "faults.h"
#include "inflate64.h"
#include "support/manifest.h"
#include "support/winfiles.h"
#include "zipread/reader_fixture.h"

namespace {

// Deflate's bits, least significant first; Huffman codes go in from their
// most significant bit.
class BitWriter {
public:
    BitWriter& bits(uint32_t value, int count)
    {
        for (int i = 0; i < count; i++)
            push((value >> i) & 1);
        return *this;
    }
    BitWriter& code(uint32_t code, int length)
    {
        for (int i = length - 1; i >= 0; i--)
            push((code >> i) & 1);
        return *this;
    }
    // A stored block: header, padding to the byte, LEN, NLEN, the bytes.
    BitWriter& stored(bool last, const std::string& data, uint32_t nlen = 0)
    {
        bits(last, 1).bits(0, 2);
        while (used_ % 8)
            push(0);
        uint32_t len = (uint32_t)data.size();
        bits(len, 16).bits(nlen ? nlen : len ^ 0xFFFF, 16);
        for (char c : data)
            bits((uint8_t)c, 8);
        return *this;
    }
    std::string done() const { return out_; }

private:
    void push(uint32_t bit)
    {
        if (used_ % 8 == 0)
            out_ += '\0';
        out_.back() = (char)(out_.back() | bit << (used_ % 8));
        used_++;
    }
    std::string out_;
    uint32_t used_ = 0;
};

const uint16_t LENGTH_BASE[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23,
                                27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227};
const uint16_t DISTANCE_BASE[] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,    33,
                                  49,   65,   97,   129,  193,  257,   385,   513,   769,   1025,  1537,
                                  2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};

struct Symbol {
    uint32_t symbol, extraBits, extra;
};

// Lengths past 258 take Deflate64's symbol 285: base 3 and 16 extra bits;
// shorter ones may take it too.
Symbol LengthSymbol(uint32_t length, bool viaLong)
{
    if (length > 258 || viaLong)
        return {285, 16, length - 3};
    uint32_t i = 27;
    while (LENGTH_BASE[i] > length)
        i--;
    uint32_t extra = i < 8 ? 0 : (i - 4) / 4;
    return {257 + i, extra, length - LENGTH_BASE[i]};
}

Symbol DistanceSymbol(uint32_t distance)
{
    uint32_t i = 31;
    while (DISTANCE_BASE[i] > distance)
        i--;
    return {i, i < 4 ? 0 : (i - 2) / 2, distance - DISTANCE_BASE[i]};
}

// A Huffman code: the canonical codes of a set of lengths.
struct Code {
    std::vector<int> lengths;
    std::vector<uint32_t> codes;

    explicit Code(std::vector<int> l) : lengths(std::move(l)), codes(lengths.size())
    {
        uint32_t next = 0;
        for (int len = 1; len <= 15; len++) {
            for (size_t s = 0; s < lengths.size(); s++)
                if (lengths[s] == len)
                    codes[s] = next++;
            next <<= 1;
        }
    }
    void put(BitWriter& w, uint32_t symbol) const { w.code(codes.at(symbol), lengths.at(symbol)); }
};

Code FixedLiterals()
{
    std::vector<int> l(288, 8);
    for (int s = 144; s < 256; s++)
        l[s] = 9;
    for (int s = 256; s < 280; s++)
        l[s] = 7;
    return Code(l);
}

// A block's symbols, and what they decode to: a literal is a byte, a match
// a (length, distance) pair.
struct Item {
    uint32_t length;       // 0 for a literal
    uint32_t value;        // the byte or the distance
    bool viaLong = false;  // the length as symbol 285, whatever it is
};

std::vector<Item> Literals(const std::string& text)
{
    std::vector<Item> items;
    for (char c : text)
        items.push_back({0, (uint8_t)c});
    return items;
}

void PutItems(BitWriter& w, const Code& literals, const Code& distances, const std::vector<Item>& items)
{
    for (const Item& item : items) {
        if (item.length == 0) {
            literals.put(w, item.value);
            continue;
        }
        Symbol l = LengthSymbol(item.length, item.viaLong), d = DistanceSymbol(item.value);
        literals.put(w, l.symbol);
        w.bits(l.extra, l.extraBits);
        distances.put(w, d.symbol);
        w.bits(d.extra, d.extraBits);
    }
    literals.put(w, 256);
}

void Expand(std::string& out, const std::vector<Item>& items)
{
    for (const Item& item : items) {
        if (item.length == 0)
            out += (char)item.value;
        for (uint32_t i = 0; i < item.length; i++)
            out += out[out.size() - item.value];
    }
}

void FixedBlock(BitWriter& w, bool last, const std::vector<Item>& items)
{
    w.bits(last, 1).bits(1, 2);
    PutItems(w, FixedLiterals(), Code(std::vector<int>(32, 5)), items);
}

// A code length symbol (0 to 18) and the value of its extra bits.
struct LengthOp {
    int symbol;
    uint32_t extra;
};

// Lengths of the code length code, complete: 4 bits, 5 for 9 to 14.
const std::array<int, 19> CODE_LENGTH_LENGTHS = {4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 4, 4, 4, 4};
const int CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Lengths in runs: 18 and 17 for zeros, 16 for a repeated length.
std::vector<LengthOp> RunLengths(const std::vector<int>& lengths)
{
    std::vector<LengthOp> ops;
    for (size_t i = 0; i < lengths.size();) {
        size_t run = 1;
        while (i + run < lengths.size() && lengths[i + run] == lengths[i])
            run++;
        if (lengths[i] == 0 && run >= 11) {
            run = std::min<size_t>(run, 138);
            ops.push_back({18, (uint32_t)run - 11});
        } else if (lengths[i] == 0 && run >= 3) {
            run = std::min<size_t>(run, 10);
            ops.push_back({17, (uint32_t)run - 3});
        } else if (i > 0 && lengths[i] == lengths[i - 1] && run >= 3) {
            run = std::min<size_t>(run, 6);
            ops.push_back({16, (uint32_t)run - 3});
        } else {
            run = 1;
            ops.push_back({lengths[i], 0});
        }
        i += run;
    }
    return ops;
}

// The header of a dynamic block as given: counts, code length code, lengths.
void DynamicHeader(BitWriter& w, bool last, int literalCount, int distanceCount, const std::array<int, 19>& codeLengths,
                   const std::vector<LengthOp>& ops)
{
    w.bits(last, 1).bits(2, 2).bits(literalCount - 257, 5).bits(distanceCount - 1, 5).bits(15, 4);
    for (int i = 0; i < 19; i++)
        w.bits(codeLengths[CODE_LENGTH_ORDER[i]], 3);
    Code code(std::vector<int>(codeLengths.begin(), codeLengths.end()));
    for (const LengthOp& op : ops) {
        code.put(w, op.symbol);
        if (op.symbol >= 16)
            w.bits(op.extra, op.symbol == 16 ? 2 : op.symbol == 17 ? 3 : 7);
    }
}

void DynamicBlock(BitWriter& w, bool last, const std::vector<int>& literals, const std::vector<int>& distances,
                  const std::vector<Item>& items)
{
    std::vector<int> all(literals);
    all.insert(all.end(), distances.begin(), distances.end());
    DynamicHeader(w, last, (int)literals.size(), (int)distances.size(), CODE_LENGTH_LENGTHS, RunLengths(all));
    PutItems(w, Code(literals), Code(distances), items);
}

// A literal/length code of 286 lengths: 'a' to 'd' 3 bits, end of block 2,
// symbols 284 and 285 3 bits. Distances: symbols 3 (distance 4), 29, 30
// and 31, 2 bits each.
std::vector<int> SmallLiterals()
{
    std::vector<int> l(286, 0);
    l['a'] = l['b'] = l['c'] = l['d'] = 3;
    l[256] = 2;
    l[284] = l[285] = 3;
    return l;
}

std::vector<int> SmallDistances()
{
    std::vector<int> d(32, 0);
    d[3] = d[29] = d[30] = d[31] = 2;
    return d;
}

// The matches of the far cases, after 70,000 bytes of history from two
// stored blocks: Deflate64's long lengths (and length 3 as symbol 285 with
// extra bits 0), its distance codes 30 and 31, and the largest distance.
const size_t HISTORY = 70000;
const std::vector<Item> FAR_MATCHES = {{258, 40000},   {300, 65536}, {3, 49153, true},
                                       {65538, 32769}, {1000, 4},    {230, 60000}};

struct Stream {
    const char* name;
    std::string bytes;
    std::string expected;
};

// Streams joined bit to bit cannot be concatenated as bytes; the cases that
// need history build it in one writer.
std::vector<Stream> GoodStreams()
{
    std::vector<Stream> cases;
    std::string history = Sample(HISTORY, false, 64);
    auto add = [&](const char* name, const BitWriter& w, std::string prefix, const std::vector<Item>& items) {
        std::string expected = prefix;
        Expand(expected, items);
        cases.push_back({name, w.done(), expected});
    };
    std::vector<Item> abcd = Literals("abcd");
    std::vector<Item> runs = Literals("abcd");
    runs.push_back({300, 4});
    runs.push_back({65538, 1});
    runs.push_back({3, 2});

    add("stored, empty", BitWriter().stored(true, ""), "", {});
    add("stored, two blocks", BitWriter().stored(false, "hello, ").stored(true, "world"), "hello, world", {});
    {
        BitWriter w;
        FixedBlock(w, true, runs);
        add("fixed: literals, symbol 285 for 300 and 65,538, a short overlap", w, "", runs);
    }
    {
        BitWriter w = BitWriter().stored(false, history.substr(0, 65535)).stored(false, history.substr(65535));
        FixedBlock(w, true, FAR_MATCHES);
        add("fixed: distance codes 30 and 31 past stored history", w, history, FAR_MATCHES);
    }
    {
        BitWriter w = BitWriter().stored(false, history.substr(0, 65535)).stored(false, history.substr(65535));
        std::vector<Item> items = abcd;
        items.insert(items.end(), FAR_MATCHES.begin(), FAR_MATCHES.end());
        DynamicBlock(w, false, SmallLiterals(), SmallDistances(), items);
        std::vector<Item> tail = Literals("dcba");
        tail.push_back({259, 4});
        FixedBlock(w, true, tail);
        std::string expected = history;
        Expand(expected, items);
        Expand(expected, tail);
        cases.push_back({"dynamic (runs of lengths, 285, codes 30 and 31), then fixed", w.done(), expected});
    }
    {
        // One distance code of one bit: incomplete, and still valid.
        std::vector<int> distances(1, 1);
        BitWriter w;
        DynamicBlock(w, true, SmallLiterals(), distances, {{0, 'a'}, {400, 1}});
        add("dynamic: a lone one-bit distance code", w, "", {{0, 'a'}, {400, 1}});
    }
    {
        // No distance code at all: a block of literals.
        BitWriter w;
        DynamicBlock(w, true, SmallLiterals(), std::vector<int>(1, 0), abcd);
        add("dynamic: literals without a distance code", w, "", abcd);
    }
    return cases;
}

struct Outcome {
    int result = -1;
    std::string output;
    uint32_t inputLeft = 0;
};

// Feeds the stream in pieces of at most inStep bytes into room of at most
// outStep bytes (0: all at once; -1: random sizes from 0 up), until the
// decoder ends, fails, or moves nothing in 64 calls running.
Outcome Inflate(const std::string& stream, int inStep, int outStep, size_t room, uint32_t seed = 7)
{
    Outcome o;
    Inflate64* state = Inflate64Start();
    EXPECT_NE(nullptr, state);
    if (!state)
        return o;
    std::string out(room, '\0');
    const uint8_t* next = (const uint8_t*)stream.data();
    const uint8_t* end = next + stream.size();
    size_t done = 0;
    uint32_t x = seed;
    auto piece = [&](int step, size_t left) -> uint32_t {
        x = x * 1103515245u + 12345u;
        size_t n = step == 0 ? left : step > 0 ? (size_t)step : (x >> 16) % 9;
        return (uint32_t)std::min(n, left);
    };
    for (int idle = 0; idle < 64;) {
        uint32_t inLeft = piece(inStep, (size_t)(end - next));
        uint32_t outLeft = piece(outStep, room - done);
        uint32_t inGiven = inLeft, outGiven = outLeft;
        uint8_t* put = (uint8_t*)&out[done];
        const uint8_t* before = next;
        o.result = Inflate64Run(state, &next, &inLeft, &put, &outLeft);
        EXPECT_EQ(inGiven - inLeft, (uint32_t)(next - before));
        EXPECT_EQ(outGiven - outLeft, (uint32_t)(put - (uint8_t*)&out[done]));
        done += outGiven - outLeft;
        if (o.result != INFLATE64_MORE) {
            o.inputLeft = (uint32_t)(end - next);
            // Final: a further call says the same and moves nothing.
            uint32_t more = (uint32_t)(end - next), space = (uint32_t)(room - done);
            EXPECT_EQ(o.result, Inflate64Run(state, &next, &more, &put, &space));
            EXPECT_EQ((uint32_t)(end - next), more);
            EXPECT_EQ(room - done, space);
            break;
        }
        idle = inGiven == inLeft && outGiven == outLeft ? idle + 1 : 0;
    }
    if (o.result == INFLATE64_MORE)
        o.inputLeft = (uint32_t)(end - next);
    o.output = out.substr(0, done);
    Inflate64End(state);
    return o;
}

TEST(Inflate64, HandBuiltStreamsDecodeAndStopAtTheirEnd)
{
    for (const Stream& c : GoodStreams()) {
        SCOPED_TRACE(c.name);
        // Bytes after the final block stay unconsumed.
        Outcome o = Inflate(c.bytes + "TAIL", 0, 0, c.expected.size() + 100);
        EXPECT_EQ(INFLATE64_ENDED, o.result);
        EXPECT_EQ(4u, o.inputLeft);
        EXPECT_TRUE(o.output == c.expected) << "output of " << o.output.size() << " bytes, expected "
                                            << c.expected.size();
        // Output room of exactly the size is enough to reach the end.
        EXPECT_EQ(INFLATE64_ENDED, Inflate(c.bytes, 0, 0, c.expected.size()).result);
    }
}

TEST(Inflate64, MalformedStreamsAreRefused)
{
    std::vector<int> literals = SmallLiterals(), distances = SmallDistances();
    std::vector<int> all(literals);
    all.insert(all.end(), distances.begin(), distances.end());
    auto dynamicWith = [&](int literalCount, const std::array<int, 19>& codeLengths, const std::vector<LengthOp>& ops) {
        BitWriter w;
        DynamicHeader(w, true, literalCount, 32, codeLengths, ops);
        return w.bits(0, 32).done();  // room for whatever a wrong header reads next
    };
    auto dynamicOf = [&](std::vector<int> lit, std::vector<int> dist, const std::vector<Item>& items) {
        BitWriter w;
        DynamicBlock(w, true, lit, dist, items);
        return w.done();
    };
    auto fixedWith = [&](std::string history, const std::vector<Item>& items) {
        BitWriter w = history.empty() ? BitWriter() : BitWriter().stored(false, history);
        FixedBlock(w, true, items);
        return w.done();
    };
    std::array<int, 19> overSubscribed = CODE_LENGTH_LENGTHS, incomplete = CODE_LENGTH_LENGTHS;
    overSubscribed[9] = 4;
    incomplete[0] = 5;
    std::vector<int> literalsOver = literals, literalsIncomplete = literals, noEnd = literals;
    literalsOver['e'] = 3;
    literalsIncomplete['a'] = 4;
    noEnd[256] = 0;
    noEnd['e'] = noEnd['f'] = 3;
    // Three zeros where two lengths remain.
    std::vector<LengthOp> tooMany = RunLengths(std::vector<int>(all.begin(), all.end() - 2));
    tooMany.push_back({17, 0});
    BitWriter fixed286 = BitWriter().bits(1, 1).bits(1, 2);
    FixedLiterals().put(fixed286, 286);

    const struct {
        const char* name;
        std::string stream;
    } cases[] = {
        {"block type 3", BitWriter().bits(1, 1).bits(3, 2).bits(0, 16).done()},
        {"stored NLEN not the complement of LEN", BitWriter().stored(true, "abc", 0x1234).done()},
        {"287 literal/length codes", dynamicWith(287, CODE_LENGTH_LENGTHS, RunLengths(all))},
        {"over-subscribed code length code", dynamicWith(286, overSubscribed, RunLengths(all))},
        {"incomplete code length code", dynamicWith(286, incomplete, RunLengths(all))},
        {"code length code without codes", dynamicWith(286, {}, {})},
        {"repeat with no length before it", dynamicWith(286, CODE_LENGTH_LENGTHS, {{16, 0}})},
        {"lengths running past the count", dynamicWith(286, CODE_LENGTH_LENGTHS, tooMany)},
        {"over-subscribed literal/length code", dynamicOf(literalsOver, distances, Literals("ab"))},
        {"incomplete literal/length code", dynamicOf(literalsIncomplete, distances, Literals("ab"))},
        {"no end-of-block code", dynamicWith(286, CODE_LENGTH_LENGTHS, RunLengths([&] {
                                                 std::vector<int> v(noEnd);
                                                 v.insert(v.end(), distances.begin(), distances.end());
                                                 return v;
                                             }()))},
        {"over-subscribed distance code",
         dynamicOf(literals, {2, 2, 2, 2, 2}, {{0, 'a'}, {300, 1}})},
        {"incomplete distance code of two lengths",
         dynamicOf(literals, {1, 0, 2}, {{0, 'a'}, {300, 1}})},
        {"a length with no distance code", dynamicOf(literals, {0}, {{0, 'a'}, {300, 1}})},
        {"fixed literal/length symbol 286", fixed286.bits(0, 16).done()},
        {"distance 1 before any output", fixedWith("", {{3, 1}})},
        {"distance one past the output", fixedWith("", {{0, 'a'}, {0, 'b'}, {3, 3}})},
        {"distance 40,001 after 40,000 bytes", fixedWith(Sample(40000, false), {{3, 40001}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Whole, with input to spare for the fast loop; then step by step.
        EXPECT_EQ(INFLATE64_BAD, Inflate(c.stream + std::string(32, '\0'), 0, 0, 200000).result);
        EXPECT_EQ(INFLATE64_BAD, Inflate(c.stream, 1, 1, 200000).result);
    }
}

// The entries of 7-Zip's Deflate64 archive: each raw stream, found through
// its local header.
struct RealStream {
    std::string name, raw, expected;
    uint32_t crc;
};

std::vector<RealStream> SevenZipStreams()
{
    std::vector<RealStream> streams;
    const std::string archive = "deflate64/7zz_deflate64.zip";
    std::vector<ManifestRow> rows = LoadManifest(InteropPath(archive + ".manifest"));
    std::string zip;
    EXPECT_TRUE(ReadWholeFile(InteropPath(archive), zip));
    EXPECT_EQ(4u, rows.size());
    size_t at = 0;
    for (const ManifestRow& row : rows) {
        auto u16 = [&](size_t o) { return (uint32_t)(uint8_t)zip[o] | (uint32_t)(uint8_t)zip[o + 1] << 8; };
        if (at + 30 > zip.size() || zip.compare(at, 4, "PK\3\4") != 0) {
            ADD_FAILURE() << "no local header for " << row.name;
            break;
        }
        EXPECT_EQ(0u, u16(at + 6) & 8) << "no data descriptors expected";
        size_t data = at + 30 + u16(at + 26) + u16(at + 28);
        at = data + row.compressedSize;
        if (row.method != 9)
            continue;
        RealStream s{row.name, zip.substr(data, row.compressedSize), "", row.crc};
        EXPECT_TRUE(ReadWholeFile(InteropPath(row.source), s.expected)) << row.source;
        EXPECT_EQ(row.size, s.expected.size());
        streams.push_back(s);
    }
    return streams;
}

TEST(Inflate64, SevenZipEntriesInflateToTheirSources)
{
    std::vector<RealStream> streams = SevenZipStreams();
    ASSERT_EQ(2u, streams.size()) << "far.bin and text.txt are Deflate64";
    for (const RealStream& s : streams) {
        SCOPED_TRACE(s.name);
        Outcome o = Inflate(s.raw, 0, 0, s.expected.size() + 1000);
        EXPECT_EQ(INFLATE64_ENDED, o.result);
        EXPECT_EQ(0u, o.inputLeft);
        EXPECT_TRUE(o.output == s.expected);
        EXPECT_EQ(s.crc, crc32(0, (const Bytef*)o.output.data(), (uInt)o.output.size()));
    }
}

TEST(Inflate64, AnySplitOfInputAndOutputGivesTheSameResult)
{
    std::vector<Stream> cases = GoodStreams();
    for (const RealStream& s : SevenZipStreams())
        cases.push_back({"7-Zip far.bin or text.txt", s.raw, s.expected});
    for (const Stream& c : cases) {
        SCOPED_TRACE(c.name);
        size_t room = c.expected.size() + 100;
        Outcome whole = Inflate(c.bytes + "T", 0, 0, room);
        const struct {
            int inStep, outStep;
        } splits[] = {{1, 1}, {1, 0}, {0, 1}, {-1, -1}, {3, 70001}, {70001, 300}};
        for (const auto& split : splits) {
            SCOPED_TRACE(testing::Message() << "pieces of " << split.inStep << " in, " << split.outStep << " out");
            Outcome pieces = Inflate(c.bytes + "T", split.inStep, split.outStep, room);
            EXPECT_EQ(whole.result, pieces.result);
            EXPECT_EQ(whole.inputLeft, pieces.inputLeft);
            EXPECT_TRUE(whole.output == pieces.output);
        }
    }
}

TEST(Inflate64, TruncatedStreamsAskForMoreAndNeverEnd)
{
    std::vector<Stream> cases = GoodStreams();
    for (const RealStream& s : SevenZipStreams())
        cases.push_back({"7-Zip far.bin or text.txt", s.raw, s.expected});
    for (const Stream& c : cases) {
        SCOPED_TRACE(c.name);
        // Every cut of a short stream; about 40 spread over a long one.
        size_t step = c.bytes.size() < 200 ? 1 : c.bytes.size() / 40 + 1;
        for (size_t cut = 0; cut < c.bytes.size(); cut += step) {
            SCOPED_TRACE(testing::Message() << "cut at " << cut);
            Outcome o = Inflate(c.bytes.substr(0, cut), cut % 2 ? 0 : -1, 0, c.expected.size() + 100);
            EXPECT_EQ(INFLATE64_MORE, o.result);
            EXPECT_EQ(0u, o.inputLeft);
            EXPECT_TRUE(c.expected.compare(0, o.output.size(), o.output) == 0);
        }
    }
}

TEST(Inflate64, StartFailsCleanlyWithoutMemory)
{
    FaultsReset({1, 0, 0});
    int32_t live = FaultsCounted().liveBlocks;
    EXPECT_EQ(nullptr, Inflate64Start());
    FaultsReset({0, 0, 0});
    Inflate64* state = Inflate64Start();
    ASSERT_NE(nullptr, state);
    EXPECT_EQ(live + 1, FaultsCounted().liveBlocks);
    Inflate64End(state);
    Inflate64End(nullptr);
    EXPECT_EQ(live, FaultsCounted().liveBlocks);
}

}  // namespace
