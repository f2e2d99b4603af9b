// A hostile winhttp.dll as a web page could drop it into a Downloads folder:
// loading it at all leaves the marker file that VARNEL_PLANT_MARKER names.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[1024];
    DWORD n = GetEnvironmentVariableW(L"VARNEL_PLANT_MARKER", path, 1024);
    if (n == 0 || n >= 1024) return TRUE;
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    return TRUE;
}

// What the control program imports, so that the loader can bind it here.
extern "C" __declspec(dllexport) BOOL WINAPI WinHttpCheckPlatform() { return TRUE; }
