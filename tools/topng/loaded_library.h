// Libraries the converter loads only when a page needs them (lcms2 for Lab pages, libgeotiff and PROJ
// for GeoTIFF pages), so that every other page starts without them. Loaded by their sonames, as the
// linker would.
#pragma once

#include <dlfcn.h>

namespace tovanel::tools::topng {

// The library, or null when it is not there.
inline void* LoadLibrary(const char* soname) { return dlopen(soname, RTLD_NOW | RTLD_LOCAL); }

// Points f at lib's function name; null when lib or the function is missing.
template <class F>
void FindSymbol(void* lib, const char* name, F& f) {
  f = lib ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
}

}  // namespace tovanel::tools::topng
