// How the Windows binding reaches DLLs that are not KnownDLLs: loaded by hand
// from System32, and bound by name.
#pragma once

#include <windows.h>

// From System32 only, and its dependencies with it. Modules stay loaded for
// the rest of the process: their handles and threads may outlive any call.
inline HMODULE system_library(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename Fn>
bool bind(HMODULE module, const char* name, Fn* slot) {
    FARPROC proc = GetProcAddress(module, name);
    // Through void(*)(): the one function pointer cast GCC takes silently.
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    return proc != nullptr;
}
