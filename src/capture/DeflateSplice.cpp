#include "DeflateSplice.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>

namespace kestrova {

namespace {

static_assert(std::endian::native == std::endian::little, "the bit reader loads words as-is");

// Reads a deflate stream's bits, first bit lowest. Past the end it reads zeros, and
// `overran` says so.
class BitReader final {
public:
    BitReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    // At least 56 bits buffered afterwards.
    void refill() {
        if (m_next + 8 <= m_size) {
            std::uint64_t word;
            std::memcpy(&word, m_data + m_next, 8);
            m_buffer |= word << m_count;
            m_next += (63 - m_count) >> 3;
            m_count |= 56;
            return;
        }
        while (m_count <= 56) {
            const std::uint64_t byte = m_next < m_size ? m_data[m_next] : 0;
            m_buffer |= byte << m_count;
            m_count += 8;
            ++m_next;
        }
        m_nearEnd = true;
    }
    std::uint32_t peek(int n) const { return std::uint32_t(m_buffer & ((1ull << n) - 1)); }
    void drop(int n) {
        m_buffer >>= n;
        m_count -= n;
    }
    std::uint32_t take(int n) {
        if (m_count < n)
            refill();
        const std::uint32_t value = peek(n);
        drop(n);
        return value;
    }
    void alignToByte() { drop(m_count % 8); }
    // Moves on by whole bytes; the reader must be at a byte boundary.
    void skipBytes(std::size_t n) {
        const std::uint64_t to = position() / 8 + n;
        m_buffer = 0;
        m_count = 0;
        m_next = to;
    }
    // Where the next bit to read is, in bits from the start.
    std::uint64_t position() const { return std::uint64_t(m_next) * 8 - m_count; }
    bool overran() const { return m_nearEnd && position() > std::uint64_t(m_size) * 8; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_next = 0;
    std::uint64_t m_buffer = 0;
    int m_count = 0;
    bool m_nearEnd = false; // the last 8 bytes have been reached
};

// What a symbol means when walking a block, and how many extra bits follow its code. A
// `value` (a literal byte, a distance, a code length) is complete in itself; a length
// is followed by a distance.
enum class Kind : std::uint8_t { value, length, endOfBlock, invalid, notInTable };
struct Meaning {
    Kind kind = Kind::invalid;
    std::uint8_t extraBits = 0;
};
using Meanings = std::array<Meaning, 288>;

constexpr Meanings literalMeanings() {
    constexpr std::array<std::uint8_t, 29> lengthExtraBits = {
        0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    Meanings meanings{};
    for (int s = 0; s < 256; ++s)
        meanings[s] = {Kind::value, 0};
    meanings[256] = {Kind::endOfBlock, 0};
    for (int s = 257; s < 286; ++s)
        meanings[s] = {Kind::length, lengthExtraBits[s - 257]};
    return meanings;
}

constexpr Meanings distanceMeanings() {
    Meanings meanings{};
    for (int s = 0; s < 30; ++s)
        meanings[s] = {Kind::value, std::uint8_t(s < 4 ? 0 : s / 2 - 1)};
    return meanings;
}

constexpr Meanings valueMeanings() {
    Meanings meanings{};
    for (Meaning& m : meanings)
        m = {Kind::value, 0};
    return meanings;
}

constexpr Meanings literals = literalMeanings();
constexpr Meanings distances = distanceMeanings();
constexpr Meanings values = valueMeanings();

// A canonical Huffman code. Codes of up to `fastBits` bits are looked up at once,
// together with the extra bits after them; longer (rare) ones are walked bit by bit.
class HuffmanCode final {
public:
    static constexpr int maxBits = 15;
    static constexpr int fastBits = 11;

    struct Entry {
        std::uint16_t symbol = 0;
        std::uint8_t bits = 0; // the code's and the extra bits'
        Kind kind = Kind::notInTable;
    };

    // False when the lengths over-subscribe the code. Incomplete codes are allowed, as
    // the format allows them; their unused codes fail when met.
    bool build(const std::uint8_t* lengths, int symbols, const Meanings& meanings) {
        m_meanings = &meanings;
        m_count.fill(0);
        for (int s = 0; s < symbols; ++s)
            ++m_count[lengths[s]];
        m_count[0] = 0;
        int left = 1;
        for (int len = 1; len <= maxBits; ++len) {
            left = left * 2 - m_count[len];
            if (left < 0)
                return false;
        }
        std::array<std::uint16_t, maxBits + 2> offset{};
        for (int len = 1; len <= maxBits; ++len)
            offset[len + 1] = std::uint16_t(offset[len] + m_count[len]);
        for (int s = 0; s < symbols; ++s) {
            if (lengths[s] != 0)
                m_symbol[offset[lengths[s]]++] = std::uint16_t(s);
        }
        // The table is as wide as the longest code, up to `fastBits`: blocks come often,
        // and most of their codes are short.
        m_bits = 1;
        for (int len = 1; len <= maxBits; ++len) {
            if (m_count[len] != 0)
                m_bits = std::min(len, fastBits);
        }
        std::fill_n(m_fast.begin(), 1 << m_bits, Entry{});
        // Codes in canonical order: the first code of each length follows the last one of
        // the length before, doubled. The stream holds each code's bits in reverse.
        int code = 0;
        int index = 0;
        for (int len = 1; len <= m_bits; ++len) {
            for (int i = 0; i < m_count[len]; ++i, ++code, ++index) {
                int reversed = 0;
                for (int b = 0; b < len; ++b)
                    reversed |= ((code >> b) & 1) << (len - 1 - b);
                const std::uint16_t symbol = m_symbol[index];
                const Meaning meaning = meanings[symbol];
                const Entry entry{symbol, std::uint8_t(len + meaning.extraBits), meaning.kind};
                for (int r = reversed; r < (1 << m_bits); r += 1 << len)
                    m_fast[r] = entry;
            }
            code <<= 1;
        }
        if (&meanings == &literals)
            mergeLiterals();
        return true;
    }

    // The entry for the next bits, without reading them (`notInTable` for a long code).
    // The reader must have been refilled.
    Entry lookup(const BitReader& in) const { return m_fast[in.peek(m_bits)]; }

    // Reads the next code and its extra bits; kind `invalid` for a code the table does
    // not hold.
    Entry next(BitReader& in) const {
        in.refill();
        const Entry entry = lookup(in);
        if (entry.kind != Kind::notInTable) {
            in.drop(entry.bits);
            return entry;
        }
        int code = 0;
        int first = 0;
        int index = 0;
        for (int len = 1; len <= maxBits; ++len) {
            code |= int(in.take(1));
            const int count = m_count[len];
            if (code - first < count) {
                const std::uint16_t symbol = m_symbol[index + code - first];
                const Meaning meaning = (*m_meanings)[symbol];
                in.take(meaning.extraBits);
                return Entry{symbol, 0, meaning.kind};
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return Entry{0, 0, Kind::invalid};
    }

private:
    // Most of a screenshot's symbols are literals: where a literal's code leaves room in
    // the table's bits for whole codes of more literals, its entry takes them all at
    // once. The entry for the bits after a literal has a lower index, so going up, it
    // already holds what follows it.
    void mergeLiterals() {
        for (int r = 0; r < (1 << m_bits); ++r) {
            Entry& entry = m_fast[r];
            if (entry.kind != Kind::value || entry.bits >= m_bits)
                continue;
            const Entry& next = m_fast[r >> entry.bits];
            if (next.kind == Kind::value && next.bits <= m_bits - entry.bits)
                entry.bits = std::uint8_t(entry.bits + next.bits);
        }
    }

    // Left uninitialised: `build` fills what it uses.
    std::array<Entry, 1 << fastBits> m_fast;
    int m_bits = 1;
    std::array<std::uint16_t, maxBits + 1> m_count{};
    std::array<std::uint16_t, 288> m_symbol;
    const Meanings* m_meanings = &values;
};

// Reads a dynamic block's code lengths into its two codes.
bool readDynamicCodes(BitReader& in, HuffmanCode& literalCode, HuffmanCode& distanceCode) {
    const int literalCount = int(in.take(5)) + 257;
    const int distanceCount = int(in.take(5)) + 1;
    const int lengthCodeCount = int(in.take(4)) + 4;
    if (literalCount > 286 || distanceCount > 30)
        return false;
    constexpr std::array<std::uint8_t, 19> order = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};
    std::array<std::uint8_t, 19> lengthCodeLengths{};
    for (int i = 0; i < lengthCodeCount; ++i)
        lengthCodeLengths[order[i]] = std::uint8_t(in.take(3));
    HuffmanCode lengthCode;
    if (!lengthCode.build(lengthCodeLengths.data(), 19, values))
        return false;

    std::array<std::uint8_t, 286 + 30> lengths{};
    const int total = literalCount + distanceCount;
    for (int i = 0; i < total;) {
        const HuffmanCode::Entry entry = lengthCode.next(in);
        if (entry.kind == Kind::invalid)
            return false;
        const int symbol = entry.symbol;
        if (symbol < 16) {
            lengths[i++] = std::uint8_t(symbol);
            continue;
        }
        std::uint8_t value = 0;
        int repeat = 0;
        if (symbol == 16) {
            if (i == 0)
                return false;
            value = lengths[i - 1];
            repeat = 3 + int(in.take(2));
        } else if (symbol == 17) {
            repeat = 3 + int(in.take(3));
        } else {
            repeat = 11 + int(in.take(7));
        }
        if (i + repeat > total)
            return false;
        for (; repeat > 0; --repeat)
            lengths[i++] = value;
    }
    return !in.overran() && literalCode.build(lengths.data(), literalCount, literals) &&
           distanceCode.build(lengths.data() + literalCount, distanceCount, distances);
}

// Walks a block's codes up to its end-of-block code, without producing its bytes.
bool skipCodedData(BitReader& reader, const HuffmanCode& literalCode,
                   const HuffmanCode& distanceCode) {
    // A copy of the reader the compiler can keep in registers, put back when done.
    BitReader in = reader;
    const struct PutBack {
        BitReader& to;
        const BitReader& from;
        ~PutBack() { to = from; }
    } putBack{reader, in};
    for (;;) {
        // The common case without a branch on what came: a literal or a length from the
        // table, and a distance looked up either way but kept only after a length. One
        // refill holds both (16 and 24 bits at most).
        in.refill();
        const HuffmanCode::Entry code = literalCode.lookup(in);
        if (code.kind <= Kind::length) {
            in.drop(code.bits);
            const bool isLength = code.kind == Kind::length;
            const HuffmanCode::Entry distance = distanceCode.lookup(in);
            if (isLength && distance.kind != Kind::value) {
                if (distanceCode.next(in).kind != Kind::value)
                    return false;
            } else {
                in.drop(isLength ? distance.bits : 0);
            }
        } else {
            // An end of block, a long code or a damaged one.
            const Kind kind = literalCode.next(in).kind;
            if (kind == Kind::endOfBlock)
                return !in.overran();
            if (kind == Kind::length) {
                if (distanceCode.next(in).kind != Kind::value)
                    return false;
            } else if (kind != Kind::value) {
                return false;
            }
        }
        if (in.overran())
            return false;
    }
}

struct StreamEnd {
    std::uint64_t finalFlagBit; // the last block's "final" flag
    std::uint64_t endBit;       // the first bit after the last block
};

std::optional<StreamEnd> findEnd(const std::uint8_t* data, std::size_t size) {
    BitReader in(data, size);
    HuffmanCode literalCode;
    HuffmanCode distanceCode;
    for (;;) {
        const std::uint64_t header = in.position();
        const bool final = in.take(1) != 0;
        const std::uint32_t type = in.take(2);
        if (type == 0) {
            in.alignToByte();
            const std::uint32_t length = in.take(16);
            if ((in.take(16) ^ 0xffffu) != length)
                return std::nullopt;
            in.skipBytes(length);
        } else if (type == 1) {
            std::array<std::uint8_t, 288 + 32> lengths{};
            std::memset(lengths.data(), 8, 144);
            std::memset(lengths.data() + 144, 9, 112);
            std::memset(lengths.data() + 256, 7, 24);
            std::memset(lengths.data() + 280, 8, 8);
            std::memset(lengths.data() + 288, 5, 32);
            if (!literalCode.build(lengths.data(), 288, literals) ||
                !distanceCode.build(lengths.data() + 288, 32, distances) ||
                !skipCodedData(in, literalCode, distanceCode))
                return std::nullopt;
        } else if (type == 2) {
            if (!readDynamicCodes(in, literalCode, distanceCode) ||
                !skipCodedData(in, literalCode, distanceCode))
                return std::nullopt;
        } else {
            return std::nullopt;
        }
        if (in.overran())
            return std::nullopt;
        if (final)
            return StreamEnd{header, in.position()};
    }
}

} // namespace

std::size_t DeflateSplice::makeContinuable(std::uint8_t* data, std::size_t size) {
    const std::optional<StreamEnd> end = findEnd(data, size);
    if (!end)
        return 0;
    data[end->finalFlagBit / 8] &= std::uint8_t(~(1u << (end->finalFlagBit % 8)));
    // The empty stored block: not final, type 0 (three zero bits), zeros to the end of
    // the byte, then its length 0 and the length's complement.
    const std::size_t at = end->endBit / 8;
    data[at] &= std::uint8_t((1u << (end->endBit % 8)) - 1);
    const std::size_t whole = (end->endBit + 3 + 7) / 8;
    for (std::size_t i = at + 1; i < whole; ++i)
        data[i] = 0;
    constexpr std::uint8_t emptyStored[4] = {0x00, 0x00, 0xff, 0xff};
    std::memcpy(data + whole, emptyStored, sizeof emptyStored);
    return whole + sizeof emptyStored;
}

} // namespace kestrova
