// libFuzzer target for what URL monitoring reads from outside: a page as the title and object
// finders scan it (any bytes, names at the page's edges, names far longer than a URL), and a
// URL configuration file as it is read at start. The first byte chooses; for a page, the bytes
// up to the first NUL are the page's URL.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "include/qdvp_http.h"

namespace {

void Found(const char *object, void *context) {
  // Every name is an absolute URL no longer than a URL may be.
  if (strlen(object) > QDVP_URL_MAX) abort();
  ++*static_cast<int *>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t length = size - 1;
  if (data[0] & 1) {
    const char *nul = static_cast<const char *>(memchr(text, '\0', length));
    std::string url =
        nul != nullptr ? std::string(text, static_cast<size_t>(nul - text)) : "http://h/";
    const char *page = nul != nullptr ? nul + 1 : text;
    long pageLength = static_cast<long>(length - static_cast<size_t>(page - text));
    char title[QDVP_URL_TITLE_MAX + 1];
    QDVP_FindPageTitle(page, pageLength, title, sizeof(title));
    if (strlen(title) > QDVP_URL_TITLE_MAX) abort();
    int count = 0;
    int n = QDVP_FindPageObjects(page, pageLength, url.c_str(), Found, &count, 8000);
    if (n != count) abort();
    return 0;
  }
  static char path[] = "/tmp/fuzz_http_XXXXXX";
  static int fd = mkstemp(path);
  if (fd < 0) abort();
  FILE *f = fopen(path, "w");
  if (f == nullptr) abort();
  fwrite(text, 1, length, f);
  fclose(f);
  URLmanagementBlock umb{};
  umb.pConfigFile = path;
  QDVP_ProcessURLconfigFile(&umb);
  return 0;
}
