// Filters bands of a held page's rows as jobs on the pool, in any order, each into its own place.
#include "filter_pipeline.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tovanel::tools::topng {

namespace {

constexpr std::size_t kBandBytes = std::size_t{256} << 10;

}  // namespace

bool FiltersInBands(const Page& page, std::size_t filteredBytes, unsigned threads) {
  return threads > 1 && RowsAreFiltered(page) && filteredBytes >= kParallelDeflateMin &&
         page.pngRowBytes <= FilterPipeline::kMaxRowBytes;
}

FilterPipeline::FilterPipeline(engine::Pool& pool, const Page& page, uint8_t* filtered)
    : page_(page), filtered_(filtered), stride_(page.pngRowBytes + kSlack),
      capacity_(static_cast<uint32_t>(std::max<std::size_t>(2, kBandBytes / stride_))), above_(stride_, 0),
      batch_(pool) {
  for (unsigned i = 0; i < 2 * pool.threads() + 2; ++i) {
    bands_.push_back(std::make_unique<Band>());
    bands_.back()->rows.resize((std::size_t{capacity_} + 1) * stride_);
    free_.push_back(bands_.back().get());
  }
}

uint8_t* FilterPipeline::nextRow() {
  if (!current_) {
    batch_.until([this] {
      if (free_.empty()) return false;
      current_ = free_.back();
      free_.pop_back();
      return true;
    });
    if (!current_) throw std::bad_alloc();  // a band's job failed and kept its band
    current_->firstY = y_;
    current_->count = 0;
    std::memcpy(current_->rows.data(), above_.data(), stride_);
  }
  return current_->rows.data() + (current_->count + 1) * stride_;
}

void FilterPipeline::finish() {
  batch_.wait();
  if (batch_.failed()) throw std::bad_alloc();
}

void FilterPipeline::rowDone() {
  ++current_->count;
  ++y_;
  if (current_->count == capacity_ || y_ == page_.height) submit();
}

void FilterPipeline::submit() {
  Band* band = current_;
  current_ = nullptr;
  std::memcpy(above_.data(), band->rows.data() + band->count * stride_, stride_);
  batch_.add(
      [this, band] {
        RowFilter filter = FilterFor(page_);
        filter.setPrevious(band->rows.data());
        for (uint32_t i = 0; i < band->count; ++i)
          filter.filter(band->rows.data() + (i + 1) * stride_,
                        filtered_ + (std::size_t{band->firstY} + i) * (page_.pngRowBytes + 1));
      },
      [this, band] { free_.push_back(band); });
}

}  // namespace tovanel::tools::topng
