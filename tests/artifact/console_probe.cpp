// Prints the console's output and input code pages and its input mode, so a
// shell can compare them before and after another program ran in it.
#include <windows.h>

#include <cstdio>

int main() {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) == FALSE) mode = 0;
    printf("output %u input %u mode 0x%lx\n", GetConsoleOutputCP(), GetConsoleCP(), mode);
    return 0;
}
