// sha256_bench [--portable] FILE
//
// Prints the digest of FILE by sha256_file and its throughput in MiB/s, with
// the run-time choice of compression or, with --portable, the portable one.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "fetch/sha256.h"

int main(int argc, char** argv) {
    bool portable = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--portable") == 0) {
            portable = true;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            path = nullptr;
            break;
        }
    }
    if (path == nullptr) {
        fprintf(stderr, "usage: sha256_bench [--portable] FILE\n");
        return 2;
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) {
        fprintf(stderr, "sha256_bench: %s: %s\n", path, error.message().c_str());
        return 1;
    }

    sha256_force_portable(portable);
    const char* name =
        sha256_compress_selected() == &sha256_compress_portable ? "portable" : "sha-extensions";
    char digest[SHA256_HEX_CAPACITY];
    const auto start = std::chrono::steady_clock::now();
    sha256_file(path, digest);
    const auto stop = std::chrono::steady_clock::now();
    if (digest[0] == '\0') {
        fprintf(stderr, "sha256_bench: cannot open %s\n", path);
        return 1;
    }
    const double seconds = std::chrono::duration<double>(stop - start).count();
    const double mib = static_cast<double>(size) / 1048576.0;
    printf("%s  %s\n", digest, path);
    printf("sha256_file (%s): %.1f MiB in %.3f s: %.1f MiB/s\n", name, mib, seconds,
           seconds > 0 ? mib / seconds : 0.0);
    return 0;
}
