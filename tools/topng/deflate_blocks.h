// Finds where the final block of a raw deflate stream starts and ends, without inflating it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovanel::tools::deflate_detail {

struct BlockSpan {
    std::uint64_t header = 0;  // bit position of the final block's header (its first bit marks it final)
    std::uint64_t end = 0;     // bit position just past its end-of-block code
};

// Walks the blocks of data[0, size), decoding their codes but writing nothing; false if the stream is
// damaged or ends before its final block does.
bool FindFinalBlock(const std::uint8_t* data, std::size_t size, BlockSpan& span);

}  // namespace tovanel::tools::deflate_detail
