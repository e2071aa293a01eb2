// The converter's core: decodes a TIFF page band by band and writes it as a PNG of the same kind.
#include "topng.h"

#include "encode.h"
#include "georef.h"
#include "engine/engine.h"
#include "decode_bands.h"
#include "metadata.h"
#include "page.h"
#include "png_writer.h"
#include "row_converter.h"
#include "row_reader.h"
#include "samples.h"
#include "tiffcommon.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tovanel::tools {

namespace {

using namespace topng;

// The pieces of one conversion: where its rows come from.
struct Conversion {
  TIFF* tif;
  const std::string& input;
  RowReader* reader;
  SampleMapper* mapper;
  RowConverter* converter;
  Failure failure{Ok, {}};
  uint32_t y = 0;
  std::vector<const uint8_t*> planes;
};

bool NextRow(Conversion& c, uint8_t* out) {
  const uint32_t* rgba = nullptr;
  if (c.failure = c.reader->row(c.y, c.planes.data(), &rgba); !c.failure.ok()) return false;
  if (c.mapper) c.mapper->map(c.planes.data());
  c.converter->convert(c.planes.data(), rgba, out);
  ++c.y;
  return true;
}

// Makes page pageIndex the current directory. The whole IFD chain is walked so that a loop or a
// broken directory marks the file as damaged.
Failure OpenPage(TIFF* tif, std::size_t pageIndex) {
  bool broken = false;
  const std::vector<tdir_t> pages = ListPages(tif, 0, &broken);
  if (broken) return {Damaged, TiffWhy("the chain of image directories is broken or loops")};
  if (pages.empty()) return {Damaged, TiffWhy("the file has no readable page")};
  if (pageIndex >= pages.size())
    return {Damaged, "the file has " + std::to_string(pages.size()) + " pages, not " + std::to_string(pageIndex + 1)};
  ClearTiffWarnings();
  if (!TIFFSetDirectory(tif, pages[pageIndex])) return {Damaged, TiffWhy("cannot read the page's image directory")};
  return {};
}

// Filters the rows into filtered as they are decoded: on every thread when the page allows (see
// BandDecoder), else in order on this one. Palette and sub-byte rows are not filtered but copied. The
// stream coded ahead, if any, is told of the rows every 32 KiB or so, not for every row.
bool FilterRows(engine::Pool& pool, const Page& page, Conversion& conv, uint8_t* pngRow, uint8_t* filtered,
                StreamAhead& ahead) {
  if (BandDecoder decoder(pool, page, conv.tif, conv.input, *conv.reader); decoder.ready()) {
    conv.failure = decoder.run(filtered);
    return conv.failure.ok();
  }
  RowFilter filter = FilterFor(page);
  const std::size_t stride = page.pngRowBytes + 1;
  const uint32_t step = static_cast<uint32_t>(std::max<std::size_t>(1, (std::size_t{32} << 10) / stride));
  for (uint32_t y = 0; y < page.height; ++y) {
    if (!NextRow(conv, pngRow)) return false;
    filter.filter(pngRow, filtered + std::size_t{y} * stride);
    if (ahead.on() && ((y + 1) % step == 0 || y + 1 == page.height)) ahead.ready(std::size_t{y + 1} * stride);
  }
  return true;
}

// Too large to hold: each row is filtered and handed to the coder, whose stream goes out as IDAT
// chunks while the next rows are decoded.
Failure StreamRows(engine::Pool& pool, const Page& page, Conversion& conv, Fs::AtomicFile& out) {
  IdatWriter idat(out);
  RowStreamCoder coder(pool, page, [&idat](const uint8_t* data, std::size_t size) { return idat.add(data, size); });
  std::vector<uint8_t> pngRow(page.pngRowBytes + kSlack), filtered(page.pngRowBytes + 1);
  RowFilter filter = FilterFor(page);
  bool coded = true;
  for (uint32_t y = 0; y < page.height && coded; ++y) {
    if (!NextRow(conv, pngRow.data())) return conv.failure;
    filter.filter(pngRow.data(), filtered.data());
    coded = coder.add(filtered.data(), filtered.size());
  }
  if (coded && coder.finish() && idat.finish()) return {};
  return idat.failed() ? OutputFailure(out, idat.error()) : Failure{WriteFailed, "compression failed (out of memory)"};
}

// Writes a page's IDAT and IEND chunks to out.
using ImageData = std::function<Failure(Fs::AtomicFile& out)>;

// Writes the PNG under a temporary name and moves it into place once every pixel is known good.
Failure WritePng(PngJob& job, const ImageData& imageData, const std::string& output, Fs::FaultPlan* faults,
                 MetadataAccount* account) {
  Fs::AtomicFile out(output, 0666, faults);
  if (Failure f = OutputFailure(out, out.open()); !f.ok()) return f;
  // The checksum is made of the bytes as they go out, not by reading the file again.
  sha256_ctx sha;
  sha256_init(&sha);
  if (account) out.setTap([&sha](const void* data, std::size_t size) { sha256_update(&sha, size, static_cast<const uint8_t*>(data)); });
  // Small pieces (chunk headers, CRCs, streamed rows) are gathered; IDAT pieces go straight out.
  constexpr std::size_t kSinkBytes = std::size_t{64} << 10;
  std::unique_ptr<uint8_t[]> sinkBuf(new uint8_t[kSinkBytes]);
  job.out = &out;
  job.buf = sinkBuf.get();
  job.cap = kSinkBytes;
  if (!RunPngWriter(&job))
    return job.writeErr ? OutputFailure(out, job.writeErr)
                        : Failure{WriteFailed, std::string("PNG writer: ") + job.pngError};
  if (Failure f = imageData(out); !f.ok()) return f;
  if (std::string damage = DecodeDamage(); !damage.empty()) return {Damaged, std::move(damage)};
  if (account) {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&sha, sizeof digest, digest);
    static const char kHex[] = "0123456789abcdef";
    account->sha256.clear();
    for (uint8_t b : digest) account->sha256 += {kHex[b >> 4], kHex[b & 15]};
  }
  return OutputFailure(out, out.commit(false));
}

// Small enough: filter everything into memory, then code it; the first parts of the stream are
// written while the last are still being coded.
Failure ConvertInMemory(engine::Pool& pool, PngJob& job, Conversion& conv, const std::string& output,
                        Fs::FaultPlan* faults, MetadataAccount* account) {
  const Page& page = *job.page;
  // Every byte is written before it is read: no zero fill (it costs as much as the filtering).
  const uint64_t wanted = uint64_t{page.height} * (page.pngRowBytes + 1);
  if (wanted > kMaxInMemoryImage)  // the caller streams such pages; said here for the allocation too
    return {TooLarge, "page too large to hold in memory"};
  const std::size_t filteredBytes = static_cast<std::size_t>(wanted);
  std::unique_ptr<uint8_t[]> filtered(new uint8_t[filteredBytes]);
  StreamAhead ahead(pool, page, filtered.get(), filteredBytes);  // stopped, if need be, before filtered goes
  {
    std::vector<uint8_t> pngRow(page.pngRowBytes + kSlack);
    if (!FilterRows(pool, page, conv, pngRow.data(), filtered.get(), ahead)) return conv.failure;
  }
  // libtiff reports some damage (missing rows, bad codes) as an error or warning yet returns data.
  if (std::string damage = DecodeDamage(); !damage.empty()) return {Damaged, std::move(damage)};
  return WritePng(job, [&](Fs::AtomicFile& out) {
    IdatParts idat(out);
    const PartsSink sink = [&idat](const StreamPart& part) { return idat.add(part); };
    ZlibStream z;
    Failure coded = DeflateImage(pool, page, filtered.get(), filteredBytes, z, &sink, &ahead);
    if (idat.failed() || (coded.ok() && !idat.finish())) return OutputFailure(out, idat.error());
    return coded;
  }, output, faults, account);
}

Failure Convert(TIFF* tif, const std::string& input, std::size_t pageIndex, const std::string& output,
                const ConvertSettings& settings, engine::Pool& pool) {
  if (Failure f = OpenPage(tif, pageIndex); !f.ok()) return f;
  PageMetadata meta;
  if (settings.keepMetadata && !ReadPageMetadata(tif, TIFFCurrentDirectory(tif), meta))
    return {Damaged, TiffWhy("cannot read the page's image directory")};
  if (settings.account) *settings.account = {meta.carried, meta.omitted, {}};
  Page page;
  if (Failure f = AnalysePage(tif, page); !f.ok()) return f;
  ClearLastTiffError();
  ClearTiffWarnings();
  if (page.pngRowBytes > kMaxRowBytes) return {TooLarge, "the page's rows are wider than the limit of 64 MiB"};

  const bool floatRange = page.map == SampleMap::Mapped && page.sampleFormat == SAMPLEFORMAT_IEEEFP;
  if (floatRange && !page.rangeTagged)
    if (Failure f = FindFloatRange(tif, page); !f.ok()) return f;
  RowReader reader(tif, page);
  if (Failure f = reader.init(); !f.ok()) return f;
  RowConverter converter(page);
  if (!converter.ok()) return {Unsupported, "cannot set up the colour conversion"};
  std::unique_ptr<SampleMapper> mapper(page.map != SampleMap::None ? new SampleMapper(page) : nullptr);
  PngJob job;
  job.page = &page;
  ReadMetadata(tif, job);
  SetPageMetadata(meta, job);
  Conversion conv{tif, input, &reader, mapper.get(), &converter, {Ok, {}}, 0, {}};
  conv.planes.assign(page.storedSpp, nullptr);
  // libtiff holds a page's strip or tile table whole, 16 bytes an entry: a page of millions of one-row
  // strips has hundreds of megabytes of them, and then streams, so the memory bound holds.
  const uint64_t tables = uint64_t{TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif)} * 16;
  const uint64_t filtered = uint64_t{page.height} * (page.pngRowBytes + 1);
  if (filtered <= std::min(settings.maxHeldImage, kMaxInMemoryImage) && tables <= kMaxTableBytes)
    return ConvertInMemory(pool, job, conv, output, settings.faults, settings.account);
  return WritePng(job, [&](Fs::AtomicFile& out) { return StreamRows(pool, page, conv, out); }, output, settings.faults,
                  settings.account);
}

// A georeferenced page's world file and coordinate system beside its PNG, each written whole; when one
// cannot be written the PNG goes too, so that a page never appears without its place on the map.
Failure WriteGeoreference(TIFF* tif, const std::string& output) {
  const std::optional<Georeference> geo = ReadGeoreference(tif);
  if (!geo) return {};
  const std::string aux = AuxXmlText(*geo);
  const std::pair<std::string, std::string> files[] = {{WorldFilePathFor(output), WorldFileText(geo->transform)},
                                                      {AuxXmlPathFor(output), aux}};
  for (const auto& [path, text] : files) {
    if (text.empty()) continue;
    Fs::AtomicFile file(path);
    int err = file.open();
    if (err == 0) err = file.write(text.data(), text.size());
    if (err == 0) err = file.commit(false);
    if (err != 0) {
      ::unlink(output.c_str());
      ::unlink(WorldFilePathFor(output).c_str());
      return OutputFailure(file, err);
    }
  }
  return {};
}

}  // namespace

unsigned ThreadsAsked(const char* option, const char* environment) {
  const char* text = option ? option : environment;
  if (!text || !*text || std::strlen(text) > 4 || std::strspn(text, "0123456789") != std::strlen(text)) return 0;
  return static_cast<unsigned>(std::atoi(text));
}

std::string PngPathFor(const std::string& input) {
  const std::string name = FileNamePart(input);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return input + ".png";
  return FolderPart(input) + name.substr(0, dot) + ".png";
}

std::string AccountRecords(const MetadataAccount& account) {
  std::string records = "metadata\t";
  for (std::size_t i = 0; i < account.carried.size(); ++i) records += (i ? "," : "") + account.carried[i];
  records += "\n";
  for (const auto& [kind, why] : account.omitted) records += "omitted\t" + kind + "\t" + why + "\n";
  if (!account.sha256.empty()) records += "sha256\t" + account.sha256 + "\n";
  return records;
}

Failure ConvertFirstPageToPng(const std::string& input, const std::string& output, const ConvertSettings& settings) {
  return ConvertPageToPng(input, 0, output, settings);
}

Failure ConvertPageToPng(const std::string& input, std::size_t pageIndex, const std::string& output,
                         const ConvertSettings& settings) {
  InstallTiffHandlers();
  const Result<TiffPtr> tif = OpenTiffForReading(input);
  if (!tif.value) return tif.failure;
  engine::Pool pool(settings.threads);
  try {
    const Failure f = Convert(tif.value.get(), input, pageIndex, output, settings, pool);
    return f.ok() && settings.georeference ? WriteGeoreference(tif.value.get(), output) : f;
  } catch (const std::bad_alloc&) {
    return {TooLarge, "out of memory"};
  }
}

}  // namespace tovanel::tools
