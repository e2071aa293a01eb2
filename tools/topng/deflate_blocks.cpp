// Walks a raw deflate stream block by block, decoding only code lengths, to find its final block.
#include "deflate_blocks.h"

#include <cstring>

namespace tovanel::tools::deflate_detail {

namespace {

// Codes up to this length are found in one table look-up; longer ones (rare) bit by bit.
constexpr unsigned kFastBits = 11;
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Reads bits from the least significant end; past the end it reads zeros and counts them.
class BitReader {
public:
    BitReader(const std::uint8_t* data, std::size_t size) : start_(data), p_(data), end_(data + size) {}

    void refill()
    {
        if (end_ - p_ >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p_, 8);  // little-endian machine: the stream's bit order
            buf_ |= word << count_;
            p_ += (63 - count_) >> 3;
            count_ |= 56;
            return;
        }
        while (count_ <= 56) {
            if (p_ < end_)
                buf_ |= std::uint64_t{*p_++} << count_;
            else
                ++overrun_;
            count_ += 8;
        }
    }
    std::uint32_t peek(unsigned n)
    {
        if (count_ < n)
            refill();
        return static_cast<std::uint32_t>(buf_ & ((std::uint64_t{1} << n) - 1));
    }
    void drop(unsigned n)
    {
        buf_ >>= n;
        count_ -= n;
    }
    std::uint32_t bits(unsigned n)
    {
        const std::uint32_t v = peek(n);
        drop(n);
        return v;
    }
    std::uint64_t position() const { return (std::uint64_t(p_ - start_) + overrun_) * 8 - count_; }
    bool overran() const { return overrun_ > 8; }
    // Skips to the next byte boundary and then n whole bytes.
    bool skipStored(std::size_t n)
    {
        const std::uint64_t byte = (position() + 7) / 8;
        if (byte + n > std::uint64_t(end_ - start_))
            return false;
        p_ = start_ + byte + n;
        buf_ = 0;
        count_ = 0;
        overrun_ = 0;
        return true;
    }

private:
    const std::uint8_t* start_;
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    std::uint64_t buf_ = 0;
    unsigned count_ = 0;
    std::size_t overrun_ = 0;
};

class Huffman {
public:
    // Canonical codes from code lengths; false if the lengths over-subscribe the code space.
    bool build(const std::uint8_t* lengths, unsigned n)
    {
        std::memset(count_, 0, sizeof count_);
        std::memset(fast_, 0, sizeof fast_);
        for (unsigned s = 0; s < n; ++s)
            ++count_[lengths[s]];
        count_[0] = 0;
        int left = 1;
        std::uint16_t offset[16] = {};
        for (unsigned len = 1; len < 16; ++len) {
            left = (left << 1) - count_[len];
            if (left < 0)
                return false;
            if (len < 15)
                offset[len + 1] = static_cast<std::uint16_t>(offset[len] + count_[len]);
        }
        std::uint32_t code[16] = {};
        for (unsigned len = 1, c = 0; len < 16; ++len) {
            c = (c + count_[len - 1]) << 1;
            code[len] = c;
        }
        code[1] = 0;
        for (unsigned s = 0; s < n; ++s) {
            const unsigned len = lengths[s];
            if (len == 0)
                continue;
            symbols_[offset[len]++] = static_cast<std::uint16_t>(s);
            const std::uint32_t c = code[len]++;
            if (len > kFastBits)
                continue;
            std::uint32_t reversed = 0;
            for (unsigned i = 0; i < len; ++i)
                reversed |= ((c >> i) & 1) << (len - 1 - i);
            for (std::uint32_t r = reversed; r < (1u << kFastBits); r += 1u << len)
                fast_[r] = static_cast<std::uint16_t>(len << 9 | s);
        }
        return true;
    }

    // The next symbol, or -1 for a code that is not there.
    int decode(BitReader& in) const
    {
        const std::uint16_t e = fast_[in.peek(kFastBits)];
        if (e) {
            in.drop(e >> 9);
            return e & 511;
        }
        int codeValue = 0, first = 0, index = 0;
        for (unsigned len = 1; len < 16; ++len) {
            codeValue |= static_cast<int>(in.bits(1));
            const int count = count_[len];
            if (codeValue - count < first)
                return symbols_[index + (codeValue - first)];
            index += count;
            first = (first + count) << 1;
            codeValue <<= 1;
        }
        return -1;
    }

private:
    std::uint16_t fast_[1u << kFastBits];
    std::uint16_t count_[16];
    std::uint16_t symbols_[320];
};

bool ReadDynamicTables(BitReader& in, Huffman& lit, Huffman& dist)
{
    const unsigned nlit = in.bits(5) + 257, ndist = in.bits(5) + 1, nlen = in.bits(4) + 4;
    if (nlit > 286 || ndist > 30)
        return false;
    std::uint8_t lengths[320] = {};
    for (unsigned i = 0; i < nlen; ++i)
        lengths[kLengthOrder[i]] = static_cast<std::uint8_t>(in.bits(3));
    Huffman lengthCode;
    if (!lengthCode.build(lengths, 19))
        return false;
    std::memset(lengths, 0, sizeof lengths);
    for (unsigned i = 0; i < nlit + ndist;) {
        const int sym = lengthCode.decode(in);
        if (sym < 0 || in.overran())
            return false;
        if (sym < 16) {
            lengths[i++] = static_cast<std::uint8_t>(sym);
            continue;
        }
        if (sym == 16 && i == 0)
            return false;
        const std::uint8_t value = sym == 16 ? lengths[i - 1] : 0;
        const unsigned repeat = sym == 16 ? 3 + in.bits(2) : sym == 17 ? 3 + in.bits(3) : 11 + in.bits(7);
        if (i + repeat > nlit + ndist)
            return false;
        for (unsigned k = 0; k < repeat; ++k)
            lengths[i++] = value;
    }
    return lengths[256] != 0 && lit.build(lengths, nlit) && dist.build(lengths + nlit, ndist);
}

void FixedTables(Huffman& lit, Huffman& dist)
{
    std::uint8_t lengths[320];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    lit.build(lengths, 288);
    std::memset(lengths, 5, 30);
    dist.build(lengths, 30);
}

// Decodes one block's codes up to its end-of-block code.
bool SkipCodes(BitReader& in, const Huffman& lit, const Huffman& dist)
{
    for (;;) {
        const int sym = lit.decode(in);
        if (in.overran() || sym < 0)
            return false;
        if (sym < 256)
            continue;
        if (sym == 256)
            return true;
        if (sym > 285)
            return false;
        in.bits(kLengthExtra[sym - 257]);
        const int d = dist.decode(in);
        if (d < 0 || d > 29)
            return false;
        in.bits(kDistanceExtra[d]);
    }
}

}  // namespace

bool FindFinalBlock(const std::uint8_t* data, std::size_t size, BlockSpan& span)
{
    BitReader in(data, size);
    Huffman lit, dist;
    for (;;) {
        span.header = in.position();
        const bool last = in.bits(1);
        const unsigned type = in.bits(2);
        if (type == 0) {
            const std::uint64_t at = (in.position() + 7) / 8;
            if (at + 4 > size)
                return false;
            const unsigned len = data[at] | data[at + 1] << 8, nlen = data[at + 2] | data[at + 3] << 8;
            if ((len ^ 0xffff) != nlen || !in.skipStored(4 + len))
                return false;
        } else if (type == 1) {
            FixedTables(lit, dist);
            if (!SkipCodes(in, lit, dist))
                return false;
        } else if (type == 2) {
            if (!ReadDynamicTables(in, lit, dist) || !SkipCodes(in, lit, dist))
                return false;
        } else {
            return false;
        }
        if (in.position() > std::uint64_t{size} * 8)
            return false;
        if (last) {
            span.end = in.position();
            return true;
        }
    }
}

}  // namespace tovanel::tools::deflate_detail
