/* Preloaded into the native program by one end-to-end case: the downloaded
 * file disappears just before it is opened for its digest, as if something
 * else on the machine removed it between download and verification. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

FILE* fopen(const char* path, const char* mode) {
    static FILE* (*real)(const char*, const char*);
    if (real == NULL) real = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen");
    const char* name = getenv("VANISH_NAME");
    size_t n = name ? strlen(name) : 0, len = strlen(path);
    if (n > 0 && strcmp(mode, "rb") == 0 && len >= n && strcmp(path + len - n, name) == 0) unlink(path);
    return real(path, mode);
}
