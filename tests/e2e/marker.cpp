// A tiny Windows program served as the release in launch tests: it leaves a
// marker file beside itself to show that it was started.
#include <windows.h>

#include <cstdio>

int main() {
    char path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    lstrcatA(path, ".ran");
    FILE* f = fopen(path, "wb");
    if (f == nullptr) return 1;
    fputs("started\n", f);
    fclose(f);
    return 0;
}
