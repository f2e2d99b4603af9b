// Any mirror body: parse_manifest must stay inside the buffer and accept only
// records that keep every rule later stages rely on.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "manifest/fetch_manifest.h"
#include "manifest/release.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > MANIFEST_BUFFER_SIZE - 2) return 0;
    // Exactly as large as the body plus its NUL, so any overrun is caught.
    char* buffer = static_cast<char*>(malloc(size + 1));
    memcpy(buffer, data, size);
    buffer[size] = '\0';
    ReleaseInfo r{};
    if (parse_manifest(buffer, &r)) {
        size_t name = strlen(r.file_name);
        if (!is_safe_token(r.version, MAX_VERSION_LENGTH)) abort();
        if (!is_safe_token(r.file_name, MAX_FILE_NAME_LENGTH) || name < 5) abort();
        if (strstr(r.file_name, "..") != nullptr || strpbrk(r.file_name, "/\\:") != nullptr)
            abort();
        if (strlen(r.sha256_hex) != 64 || r.size == 0) abort();
    }
    free(buffer);
    return 0;
}
