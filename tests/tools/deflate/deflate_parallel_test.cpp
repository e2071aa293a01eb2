// The multi-threaded zlib coder: streams that inflate to the input at every size, piece edge and thread
// count, the single-thread stream unchanged for small inputs, and sizes within 1 % of one thread's.
#include "deflate_blocks.h"
#include "deflate_parallel.h"
#include "deflate_piece.h"
#include "sample_rows.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <array>
#include <atomic>
#include <optional>
#include <string>

namespace tovanel::tools {
namespace {

using testing::DocumentRows;
using testing::PhotoRows;

constexpr std::size_t MiB = std::size_t{1} << 20;

// The zlib stream's content, or nothing when it is not exactly one valid stream (bad checksum included).
std::optional<std::vector<std::uint8_t>> Inflate(const std::uint8_t* data, std::size_t size, std::size_t expected)
{
    std::vector<std::uint8_t> out(expected + 1);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return std::nullopt;
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&zs, Z_FINISH);
    const bool whole = rc == Z_STREAM_END && zs.avail_in == 0;
    out.resize(zs.total_out);
    inflateEnd(&zs);
    if (!whole)
        return std::nullopt;
    return out;
}

std::vector<std::uint8_t> Compress(const std::uint8_t* in, std::size_t n, const DeflateSettings& s, unsigned threads)
{
    engine::Pool pool(threads);
    std::vector<std::uint8_t> out(ZlibStreamBound(n));
    out.resize(DeflateToZlib(pool, in, n, out.data(), out.size(), s));
    return out;
}

// The stream whose parts these are.
std::vector<std::uint8_t> Joined(const StreamParts& parts)
{
    std::vector<std::uint8_t> out;
    for (const StreamPart& part : parts)
        out.insert(out.end(), part.data, part.data + part.size);
    return out;
}

// What one call of the libraries makes, as the converter has always done it.
std::vector<std::uint8_t> SingleCall(const std::uint8_t* in, std::size_t n, const DeflateSettings& s)
{
    std::vector<std::uint8_t> out(compressBound(n) + 64);
    if (s.coding == DeflateCoding::Matches) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(s.level);
        out.resize(libdeflate_zlib_compress(c, in, n, out.data(), out.size()));
        libdeflate_free_compressor(c);
        return out;
    }
    z_stream zs{};
    deflateInit2(&zs, s.level, Z_DEFLATED, 15, 8, Z_RLE);
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = static_cast<uInt>(n);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// A photograph, then a scanned page, then a rendered page: pieces fall on and across the changes.
const std::vector<std::uint8_t>& MixedRows()
{
    static const std::vector<std::uint8_t> rows = [] {
        std::vector<std::uint8_t> r = PhotoRows(1000, 1600);
        const std::vector<std::uint8_t> scan = DocumentRows(1700, 1600, 2), drawn = DocumentRows(1700, 1600, 0);
        r.insert(r.end(), scan.begin(), scan.end());
        r.insert(r.end(), drawn.begin(), drawn.end());
        return r;
    }();
    return rows;
}

std::string CodingName(DeflateCoding c) { return c == DeflateCoding::Matches ? "Matches" : "Runs"; }

DeflateSettings SettingsFor(DeflateCoding coding)
{
    return {coding, coding == DeflateCoding::Matches ? 4 : 6};
}

// --- Round trip at sizes around the one-thread limit and the piece edges, 1 to 4 threads.

using RoundTripRow = std::tuple<std::size_t, unsigned, DeflateCoding>;
class DeflateRoundTrip : public ::testing::TestWithParam<RoundTripRow> {};

TEST_P(DeflateRoundTrip, InflatesToTheInputAsOneStream)
{
    const auto [n, threads, coding] = GetParam();
    ASSERT_LE(n, MixedRows().size());
    const DeflateSettings s = SettingsFor(coding);
    const std::vector<std::uint8_t> z = Compress(MixedRows().data(), n, s, threads);
    ASSERT_FALSE(z.empty());
    const auto back = Inflate(z.data(), z.size(), n);
    ASSERT_TRUE(back.has_value()) << "not one valid zlib stream";
    EXPECT_TRUE(std::equal(back->begin(), back->end(), MixedRows().begin(), MixedRows().begin() + n) &&
                back->size() == n);
    if (n < kParallelDeflateMin)
        EXPECT_EQ(z, SingleCall(MixedRows().data(), n, s)) << "a small input must give the single-call stream";
    // The cut depends on the input alone: any threads give one thread's stream.
    EXPECT_EQ(z, Compress(MixedRows().data(), n, s, 1));
}

INSTANTIATE_TEST_SUITE_P(
    SizesThreadsCodings, DeflateRoundTrip,
    ::testing::Combine(::testing::Values(std::size_t{0}, std::size_t{1}, MiB - 1, MiB, MiB + 1, 2 * MiB - 1,
                                         2 * MiB + 1, 3 * MiB + 12345, 9 * MiB + 7),
                       ::testing::Values(1u, 2u, 3u, 4u),
                       ::testing::Values(DeflateCoding::Matches, DeflateCoding::Runs)),
    [](const auto& info) {
        return "n" + std::to_string(std::get<0>(info.param)) + "_t" + std::to_string(std::get<1>(info.param)) +
               "_" + CodingName(std::get<2>(info.param));
    });

// --- The block walk that finds a piece's final block agrees with zlib's inflate, which stops at each
// block boundary when asked and says how many bits of the last byte it left.

bool ZlibFinalBlock(const std::uint8_t* data, std::size_t size, deflate_detail::BlockSpan& span)
{
    z_stream zs{};
    std::vector<std::uint8_t> junk(1 << 16);
    inflateInit2(&zs, -15);
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(size);
    bool found = false;
    for (;;) {
        zs.next_out = junk.data();
        zs.avail_out = static_cast<uInt>(junk.size());
        if (inflate(&zs, Z_BLOCK) != Z_OK)
            break;
        if (!(zs.data_type & 128))
            continue;
        const std::uint64_t at = std::uint64_t{size - zs.avail_in} * 8 - (zs.data_type & 7);
        if (zs.data_type & 64) {
            span.end = at;
            found = true;
            break;
        }
        span.header = at;
    }
    inflateEnd(&zs);
    return found;
}

using BlockRow = std::tuple<int, std::size_t, int>;  // level, input size, which data (photo, scan, drawn, noise)
class DeflateBlockWalk : public ::testing::TestWithParam<BlockRow> {};

TEST_P(DeflateBlockWalk, FindsTheFinalBlockWhereZlibDoes)
{
    const auto [level, n, kind] = GetParam();
    const std::size_t from = std::array<std::size_t, 4>{0, 5 * MiB, 8 * MiB, 0}[kind];
    ASSERT_LE(from + n, MixedRows().size());
    std::vector<std::uint8_t> in(MixedRows().begin() + from, MixedRows().begin() + from + n);
    if (kind == 3) {  // noise: stored blocks
        testing::SampleRandom rng(level);
        for (auto& b : in)
            b = static_cast<std::uint8_t>(rng.next());
    }
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    std::vector<std::uint8_t> z(n + n / 8 + 1024);
    z.resize(libdeflate_deflate_compress(c, in.data(), n, z.data(), z.size()));
    libdeflate_free_compressor(c);
    ASSERT_FALSE(z.empty());
    deflate_detail::BlockSpan ours, zlib;
    ASSERT_TRUE(ZlibFinalBlock(z.data(), z.size(), zlib));
    ASSERT_TRUE(deflate_detail::FindFinalBlock(z.data(), z.size(), ours));
    EXPECT_EQ(ours.header, zlib.header);
    EXPECT_EQ(ours.end, zlib.end);
    // A stream cut short is refused, never walked past its end.
    for (std::size_t cut : {std::size_t{1}, z.size() / 2, z.size() - 1})
        EXPECT_FALSE(deflate_detail::FindFinalBlock(z.data(), cut, ours)) << "cut to " << cut;
}

INSTANTIATE_TEST_SUITE_P(LevelsSizesData, DeflateBlockWalk,
                         ::testing::Combine(::testing::Values(1, 4, 6, 9, 12),
                                            ::testing::Values(std::size_t{0}, std::size_t{7}, std::size_t{70000},
                                                              MiB + 3),
                                            ::testing::Values(0, 1, 2, 3)));

// --- Streaming: parts of any size in, one stream out in order.

struct StreamRow {
    const char* name;
    std::size_t total, part, piece;
    unsigned threads;
    DeflateCoding coding;
};
class DeflateStream : public ::testing::TestWithParam<StreamRow> {};

TEST_P(DeflateStream, InflatesToTheInputAsOneStream)
{
    const StreamRow& row = GetParam();
    const std::uint8_t* in = MixedRows().data();
    std::vector<std::uint8_t> z;
    engine::Pool pool(row.threads);
    ZlibStreamDeflater deflater(
        pool, SettingsFor(row.coding),
        [&](const std::uint8_t* d, std::size_t n) {
            z.insert(z.end(), d, d + n);
            return true;
        },
        row.piece);
    for (std::size_t done = 0; done < row.total; done += row.part)
        ASSERT_TRUE(deflater.write(in + done, std::min(row.part, row.total - done)));
    ASSERT_TRUE(deflater.finish());
    const auto back = Inflate(z.data(), z.size(), row.total);
    ASSERT_TRUE(back.has_value()) << "not one valid zlib stream";
    EXPECT_TRUE(back->size() == row.total && std::equal(back->begin(), back->end(), in));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, DeflateStream,
    ::testing::Values(StreamRow{"Empty", 0, 1, MiB, 2, DeflateCoding::Matches},
                      StreamRow{"OneByte", 1, 1, MiB, 4, DeflateCoding::Runs},
                      StreamRow{"ExactlyOnePiece", MiB, 4096, MiB, 2, DeflateCoding::Matches},
                      StreamRow{"RowsAcrossPieces", 5 * MiB + 3, 3001, 300000, 3, DeflateCoding::Matches},
                      StreamRow{"RowsAcrossPiecesRuns", 5 * MiB + 3, 3001, 300000, 3, DeflateCoding::Runs},
                      StreamRow{"BigParts", 9 * MiB, 2 * MiB + 1, MiB, 4, DeflateCoding::Matches},
                      StreamRow{"OneThread", 3 * MiB, 65536, MiB, 1, DeflateCoding::Matches},
                      StreamRow{"ManyTinyPieces", 200000, 777, 1000, 4, DeflateCoding::Runs}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeflateStreamSink, AFailingSinkStopsTheStream)
{
    int calls = 0;
    engine::Pool pool(2);
    ZlibStreamDeflater deflater(pool, {DeflateCoding::Runs, 6}, [&](const std::uint8_t*, std::size_t) {
        ++calls;
        return false;
    }, 65536);
    bool ok = true;
    for (int i = 0; i < 64 && ok; ++i)
        ok = deflater.write(MixedRows().data() + i * 65536, 65536);
    EXPECT_FALSE(ok && deflater.finish());
    EXPECT_EQ(calls, 1) << "nothing more goes to a sink that failed";
}

// --- A small page's run-only stream coded as its rows become final: whatever the steps, the very
// stream of one zlib call; stopped, it gives nothing and asks no more.

struct AsReadyRow {
    const char* name;
    std::size_t n, step;
    bool stops;          // ready() says stop once stopAt bytes are coded
    std::size_t stopAt = 0;
};
class RunsAsReady : public ::testing::TestWithParam<AsReadyRow> {};

TEST_P(RunsAsReady, OneCallsStreamOrNothing)
{
    const AsReadyRow& row = GetParam();
    ASSERT_LE(row.n, MixedRows().size());
    const std::uint8_t* in = MixedRows().data() + MixedRows().size() - row.n;  // ends in the drawn rows
    const DeflateSettings runs = SettingsFor(DeflateCoding::Runs);
    std::vector<std::uint8_t> out(ZlibStreamBound(row.n));
    bool told = false;
    out.resize(deflate_detail::CompressRunsAsReady(runs, in, row.n, out.data(), out.size(), [&](std::size_t done) {
        EXPECT_LT(done, row.n);
        EXPECT_FALSE(told) << "asked again after being told to stop";
        told = row.stops && done >= row.stopAt;
        return told ? SIZE_MAX : std::min(row.n, done + row.step);
    }));
    if (row.stops)
        EXPECT_TRUE(out.empty() && told);
    else
        EXPECT_EQ(out, SingleCall(in, row.n, runs));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RunsAsReady,
    ::testing::Values(AsReadyRow{"Empty", 0, 1, false}, AsReadyRow{"OneStep", 200000, 200000, false},
                      AsReadyRow{"RowByRow", 200000, 769, false}, AsReadyRow{"ByteByByte", 40000, 1, false},
                      AsReadyRow{"StepsPastTheEnd", MiB - 1, 65537 * 3, false},
                      AsReadyRow{"StoppedHalfway", 3 * MiB, 4096, true, 3 * MiB / 2},
                      AsReadyRow{"StoppedBeforeAnything", 300000, 4096, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- A sink gets the stream's parts in order, one call at a time, while the pieces are coded; one that
// stops (a failed write) is not called again, and the call fails.

struct SinkRow {
    const char* name;
    std::size_t n;
    unsigned threads;
    DeflateCoding coding;
    std::size_t failAt;  // the call that fails; 0: none
    bool throws = false;  // it fails by throwing (out of memory), on whichever thread calls it
};
class PartsToASink : public ::testing::TestWithParam<SinkRow> {};

TEST_P(PartsToASink, InOrderAndNotCalledAfterItStops)
{
    const SinkRow& row = GetParam();
    ASSERT_LE(row.n, MixedRows().size());
    const std::uint8_t* in = MixedRows().data();
    const DeflateSettings settings = SettingsFor(row.coding);
    std::vector<std::uint8_t> out(ZlibStreamBound(row.n)), got;
    std::size_t calls = 0;
    std::atomic<bool> inside{false};
    const PartsSink sink = [&](const StreamPart& part) {
        EXPECT_FALSE(inside.exchange(true)) << "two calls at once";
        const bool ok = ++calls != row.failAt;
        if (ok)
            got.insert(got.end(), part.data, part.data + part.size);
        inside = false;
        if (!ok && row.throws)
            throw std::bad_alloc();
        return ok;
    };
    engine::Pool pool(row.threads);
    const StreamParts parts = DeflateToZlibParts(pool, in, row.n, out.data(), out.size(), settings, &sink);
    if (row.failAt) {
        EXPECT_TRUE(parts.empty());
        EXPECT_EQ(calls, row.failAt) << "called after it stopped";
        return;
    }
    EXPECT_EQ(got, Joined(parts));
    EXPECT_EQ(got, Compress(in, row.n, settings, row.threads));
}

INSTANTIATE_TEST_SUITE_P(
    Sinks, PartsToASink,
    ::testing::Values(SinkRow{"OneThreadOnePart", MiB - 1, 2, DeflateCoding::Runs, 0},
                      SinkRow{"TwoThreadsRuns", 3 * MiB + 12345, 2, DeflateCoding::Runs, 0},
                      SinkRow{"ThreeThreadsRuns", 5 * MiB + 3, 3, DeflateCoding::Runs, 0},
                      SinkRow{"FourThreadsMatches", 9 * MiB + 7, 4, DeflateCoding::Matches, 0},
                      SinkRow{"StopsAtTheHeader", 3 * MiB, 2, DeflateCoding::Runs, 1},
                      SinkRow{"StopsMidway", 9 * MiB + 7, 4, DeflateCoding::Runs, 5},
                      SinkRow{"StopsMidwayTwoThreads", 9 * MiB + 7, 2, DeflateCoding::Runs, 5},
                      SinkRow{"StopsOnTheOnePart", MiB - 1, 2, DeflateCoding::Matches, 1},
                      SinkRow{"ThrowsMidway", 9 * MiB + 7, 4, DeflateCoding::Runs, 5, true},
                      SinkRow{"ThrowsMidwayTwoThreads", 9 * MiB + 7, 2, DeflateCoding::Runs, 5, true},
                      // The header, 8 pieces of 256 KiB, then the checksum: the tenth call.
                      SinkRow{"ThrowsAtTheChecksum", 2 * MiB, 2, DeflateCoding::Runs, 10, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The output buffer must be at least the bound: anything less is refused, never overrun.

TEST(DeflateBound, ABufferBelowTheBoundIsRefused)
{
    const std::size_t n = 3 * MiB;
    std::vector<std::uint8_t> out(ZlibStreamBound(n) + 16, 0xa5);
    engine::Pool two(2);
    EXPECT_EQ(DeflateToZlib(two, MixedRows().data(), n, out.data(), ZlibStreamBound(n) - 1, {DeflateCoding::Runs, 6}),
              0u);
    // Incompressible input takes the most room; it must fit in the bound at every thread count.
    std::vector<std::uint8_t> noise(n);
    testing::SampleRandom rng(7);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng.next());
    for (unsigned t = 1; t <= 4; ++t)
        for (DeflateCoding c : {DeflateCoding::Matches, DeflateCoding::Runs}) {
            engine::Pool pool(t);
            const std::size_t size = DeflateToZlib(pool, noise.data(), n, out.data(), ZlibStreamBound(n), SettingsFor(c));
            ASSERT_GT(size, n) << t << " threads, " << CodingName(c);
            EXPECT_EQ(out[ZlibStreamBound(n)], 0xa5) << "written past the bound";
            EXPECT_TRUE(Inflate(out.data(), size, n) == noise);
        }
}

// --- Threads: small inputs stay on one; never more threads than pieces of at least the minimum size.

struct ThreadRow {
    const char* name;
    std::size_t n;
    unsigned asked, expected;
};
class DeflateThreads : public ::testing::TestWithParam<ThreadRow> {};

TEST_P(DeflateThreads, Count)
{
    const ThreadRow& row = GetParam();
    EXPECT_EQ(DeflateThreadsFor(row.n, {DeflateCoding::Matches, 6}, row.asked), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DeflateThreads,
                         ::testing::Values(ThreadRow{"Small", MiB - 1, 8, 1},
                                           ThreadRow{"AtTheLimit", MiB, 8, MiB / kMinDeflatePiece},
                                           ThreadRow{"NoPieceBelowTheMinimum", 2 * MiB - 1, 16, 2 * MiB / kMinDeflatePiece - 1},
                                           ThreadRow{"AsAsked", 64 * MiB, 3, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Size: the pieces within 1 % of one call on realistic pages, at the converter's levels.

struct OverheadRow {
    const char* name;
    std::vector<std::uint8_t> (*rows)();
    DeflateCoding coding;
    int level;
};
class DeflateOverhead : public ::testing::TestWithParam<OverheadRow> {};

std::vector<std::uint8_t> Photo() { return PhotoRows(2400, 1600); }
std::vector<std::uint8_t> Scan() { return DocumentRows(2550, 3300, 2); }
std::vector<std::uint8_t> Drawn() { return DocumentRows(2550, 3300, 0); }

TEST_P(DeflateOverhead, PiecesWithinOnePercentOfOneCall)
{
    const OverheadRow& row = GetParam();
    const std::vector<std::uint8_t> in = row.rows();
    const std::size_t one = SingleCall(in.data(), in.size(), {row.coding, row.level}).size();
    const std::size_t four = Compress(in.data(), in.size(), {row.coding, row.level}, 4).size();
    ASSERT_GT(one, 0u);
    ASSERT_GT(DeflateThreadsFor(in.size(), {row.coding, row.level}, 4), 1u) << "the page must be split";
    EXPECT_LE(double(four), double(one) * 1.01) << "one call " << one << " bytes, pieces " << four;
}

INSTANTIATE_TEST_SUITE_P(
    Pages, DeflateOverhead,
    ::testing::Values(OverheadRow{"PhotoMatches", Photo, DeflateCoding::Matches, 4},
                      OverheadRow{"PhotoRuns", Photo, DeflateCoding::Runs, 6},
                      OverheadRow{"ScanMatches", Scan, DeflateCoding::Matches, 6},
                      OverheadRow{"ScanRuns", Scan, DeflateCoding::Runs, 6},
                      OverheadRow{"DrawnMatches", Drawn, DeflateCoding::Matches, 6}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovanel::tools
