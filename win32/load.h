// How the Windows binding reaches DLLs that are not KnownDLLs: loaded by hand
// from System32, and bound by name.
#pragma once

#include <windows.h>

// From System32 only, and its dependencies with it. Modules stay loaded for
// the rest of the process: their handles and threads may outlive any call.
// Inlined: one call, made in several places.
[[gnu::always_inline]] inline HMODULE system_library(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Binds `count` functions of `module`, named in `names` one after another,
// each ended by a NUL, into `table`, a record of as many function pointers
// in the same order; false, with the record not to be used, when the module
// is null or lacks one of them.
bool bind_all(HMODULE module, const char* names, int count, void* table);
