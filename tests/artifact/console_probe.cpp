// Prints the console's output and input code pages and its input mode, so a
// shell can compare them before and after another program ran in it.
// Given a program, it is that shell: it prints the console to standard error,
// runs the program on it, waits, and prints again. Like cmd on Windows it
// outlives a Ctrl+C that ends the program; Wine's cmd ends with it.
#include <windows.h>

#include <cstdio>

namespace {

void print_console(FILE* out) {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) == FALSE) mode = 0;
    fprintf(out, "output %u input %u mode 0x%lx\n", GetConsoleOutputCP(), GetConsoleCP(), mode);
    fflush(out);
}

BOOL WINAPI outlive(DWORD) { return TRUE; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        print_console(stdout);
        return 0;
    }
    (void)SetConsoleCtrlHandler(outlive, TRUE);
    print_console(stderr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(argv[1], nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process) == FALSE)
        return 1;
    (void)WaitForSingleObject(process.hProcess, INFINITE);
    (void)CloseHandle(process.hThread);
    (void)CloseHandle(process.hProcess);
    print_console(stderr);
    return 0;
}
