// Deflate coding of a page held in memory: libdeflate's full matching or zlib's run-only coding.
#include "encode.h"

#include <libdeflate.h>
#include <zlib.h>

namespace tovanel::tools::topng {

namespace {

// libdeflate level 6 compresses as small as zlib level 6 at two to four times its speed. On 8-bit
// colour pages (photographs, scans) level 4 saves a third of the compression time for about 1 % more
// bytes; on grey, bilevel, palette and 16-bit pages it saves little or costs several per cent.
constexpr int kDeflateLevel = 6;
constexpr int kDeflateLevelColour8 = 4;

// Filtered photographs and scans are mostly noise to a match finder: coding only runs (zlib's Z_RLE)
// gives streams 5 to 8 % smaller than full matching, at several times its speed. Drawn pages,
// bilevel and palette images need the matches. Each page takes the coding that wins on a sample.
enum class Coding { Matches, Runs };

std::size_t CompressRuns(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap) {
  z_stream zs{};
  if (deflateInit2(&zs, 6, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) return 0;
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = static_cast<uInt>(n);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(cap);
  const int rc = deflate(&zs, Z_FINISH);
  const std::size_t size = zs.total_out;
  deflateEnd(&zs);
  return rc == Z_STREAM_END ? size : 0;
}

constexpr std::size_t kTrialSlice = std::size_t{32} << 10, kTrialSlices = 4;
// Images up to this size are coded both ways whole; larger ones are judged on slices.
constexpr std::size_t kWholeTrial = kTrialSlice;

// Up to four slices spread evenly over the image (one per eighth of it at most), coded both ways.
Coding ChooseCoding(libdeflate_compressor* comp, const uint8_t* data, std::size_t n) {
  const std::size_t slice = kTrialSlice, count = std::clamp<std::size_t>(n / (8 * slice), 1, kTrialSlices);
  std::vector<uint8_t> scratch(std::max(libdeflate_zlib_compress_bound(comp, slice), std::size_t{compressBound(slice)}));
  std::size_t matches = 0, runs = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t start = count == 1 ? (n - slice) / 2 : (n - slice) / (count - 1) * k;
    const std::size_t len = slice;
    const std::size_t m = libdeflate_zlib_compress(comp, data + start, len, scratch.data(), scratch.size());
    const std::size_t r = CompressRuns(data + start, len, scratch.data(), scratch.size());
    if (m == 0 || r == 0) return Coding::Matches;
    matches += m;
    runs += r;
  }
  return runs < matches ? Coding::Runs : Coding::Matches;
}

}  // namespace

int DeflateImage(const Page& p, const uint8_t* filtered, std::size_t n, ZlibStream& out, std::string& why) {
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> comp(
      libdeflate_alloc_compressor(p.depth == 8 && p.channels >= 3 ? kDeflateLevelColour8 : kDeflateLevel),
      libdeflate_free_compressor);
  if (!comp) {
    why = "out of memory";
    return TooLarge;
  }
  const std::size_t cap =
      std::max<std::size_t>(libdeflate_zlib_compress_bound(comp.get(), n), compressBound(static_cast<uLong>(n)));
  out.data.reset(new uint8_t[cap]);
  std::size_t size = 0;
  if (n <= kWholeTrial) {
    // Small enough to code both ways whole and keep the smaller.
    std::unique_ptr<uint8_t[]> runs(new uint8_t[cap]);
    size = libdeflate_zlib_compress(comp.get(), filtered, n, out.data.get(), cap);
    const std::size_t r = CompressRuns(filtered, n, runs.get(), cap);
    if (r != 0 && (size == 0 || r < size)) {
      out.data = std::move(runs);
      size = r;
    }
  } else if (ChooseCoding(comp.get(), filtered, n) == Coding::Runs) {
    size = CompressRuns(filtered, n, out.data.get(), cap);
  } else {
    size = libdeflate_zlib_compress(comp.get(), filtered, n, out.data.get(), cap);
  }
  if (size == 0) {
    why = "compression failed";
    return WriteFailed;
  }
  out.size = size;
  return Ok;
}

}  // namespace tovanel::tools::topng
