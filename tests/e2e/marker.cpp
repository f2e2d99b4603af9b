// A tiny Windows program served as the release in launch tests: it leaves a
// marker file beside itself to show that it was started. Wide calls, so a
// folder name outside the ANSI code page works too.
#include <windows.h>

#include <cstdio>

int main() {
    wchar_t path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    lstrcatW(path, L".ran");
    FILE* f = _wfopen(path, L"wb");
    if (f == nullptr) return 1;
    fputs("started\n", f);
    fclose(f);
    return 0;
}
