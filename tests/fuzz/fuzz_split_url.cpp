// Any URL text: both halves always terminated within their buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/https.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* url = static_cast<char*>(malloc(size + 1));
    memcpy(url, data, size);
    url[size] = '\0';
    char16_t host[URL_PART_UNITS];
    char16_t path[URL_PART_UNITS];
    memset(host, 0xAB, sizeof host);
    memset(path, 0xAB, sizeof path);
    split_url(url, host, path);
    if (host[URL_PART_UNITS - 1] != 0 || path[URL_PART_UNITS - 1] != 0) abort();
    free(url);
    return 0;
}
