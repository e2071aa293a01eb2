// CIE L*a*b* pages (CIELab, ICC Lab, ITU Lab) as sRGB rows through lcms2.
#pragma once

#include "page.h"

#include <cstdint>
#include <vector>

namespace tovanel::tools::topng {

class LabRows {
 public:
  explicit LabRows(const Page& p);
  ~LabRows();
  LabRows(const LabRows&) = delete;
  LabRows& operator=(const LabRows&) = delete;

  // False when lcms2 could not make the transform.
  bool ok() const { return transform_ != nullptr; }
  // One row of stored samples (planes as RowReader gives them) as PNG samples: RGB, then alpha.
  void convert(const uint8_t* const* planes, uint8_t* out);

 private:
  uint32_t sample(const uint8_t* const* planes, uint32_t x, int s) const;

  const Page& p_;
  bool separate_;
  void* transform_ = nullptr;
  std::vector<double> lab_;
  std::vector<uint16_t> rgb_;
};

}  // namespace tovanel::tools::topng
