// The unsafe way: a static WINHTTP import, found beside the program first.
// The planting case runs it to show that a planted load is seen, and the
// release file check to show that such an import is refused.
#include <windows.h>
//
#include <winhttp.h>

int main() { return WinHttpCheckPlatform() ? 0 : 1; }
