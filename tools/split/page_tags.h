// The tags a page file takes over from its source page: those that decode its data, and those that describe it.
#pragma once

#include <tiffio.h>

namespace tovanel::tools {

// Tags that say where and how the page is shown and where it came from; none of them changes pixels.
void CopyDescriptiveTags(TIFF* in, TIFF* out);

// Everything a decoder needs to turn the raw strips or tiles of in's current page back into its
// pixels. Call before the first byte of data is written: libtiff freezes most tags then.
void CopyLayoutAndCodecTags(TIFF* in, TIFF* out);

}  // namespace tovanel::tools
