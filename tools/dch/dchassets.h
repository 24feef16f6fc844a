// The page's static files, compiled into the program from tools/dch/page/ by CMake
// (embed.cmake writes them into a generated source file), so the page needs no files beside the
// program and fetches nothing from the network.
#pragma once

#include <stddef.h>

namespace qdvp_dch {

struct DchAsset {
  const char *path;         // "/", "/page.js", ...
  const char *contentType;  // with its charset
  const char *data;
  size_t size;
};

extern const DchAsset kDchAssets[];
extern const size_t kDchAssetCount;

}  // namespace qdvp_dch
