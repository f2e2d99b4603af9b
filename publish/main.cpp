// varnel-release: the publisher's tool. It makes the manifest of a release and
// checks what every mirror and node serves, with the installer's own code.
#include <cstdio>
#include <cstring>

#include "app/process.h"
#include "platform/platform.h"
#include "publish/check.h"
#include "publish/make_manifest.h"
#include "publisher.h"

namespace {

const char USAGE[] =
    "usage: varnel-release manifest --version V INSTALLER.exe [-o FILE]\n"
    "       varnel-release check [--download] [--json]\n";

// A call the tool cannot run: the usage on standard error.
int usage() {
    fputs(USAGE, stderr);
    return TOOL_EXIT_CANNOT_WORK;
}

int manifest_command(int argc, char** argv) {
    const char* version = nullptr;
    const char* installer = nullptr;
    const char* out = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--version") == 0 && i + 1 < argc)
            version = argv[++i];
        else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            out = argv[++i];
        else if (argv[i][0] != '-' && installer == nullptr)
            installer = argv[i];
        else
            return usage();
    }
    if (version == nullptr || installer == nullptr) return usage();
    return make_manifest(version, installer, out, BUILD_PUBLISHER);
}

int check_command(int argc, char** argv) {
    bool download = false;
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--download") == 0)
            download = true;
        else if (strcmp(argv[i], "--json") == 0)
            json = true;
        else
            return usage();
    }
    // A progress line overwrites itself on a terminal; in a log it would not.
    FILE* progress = platform().stderr_is_terminal() ? stderr : nullptr;
    // About 10 KiB, kept off the stack as the installer keeps its records.
    static CheckResult result;
    if (!run_check(download, BUILD_PUBLISHER, progress, &result)) return TOOL_EXIT_CANNOT_WORK;
    if (json)
        print_json(result);
    else
        print_table(result);
    return check_exit_code(result);
}

int run_command(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "manifest") == 0) return manifest_command(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "check") == 0) return check_command(argc, argv);
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0)) {
        fputs(USAGE, stdout);
        return TOOL_EXIT_OK;
    }
    return usage();
}

}  // namespace

// A tool for a shell: it never waits, but leaves the shell's console as found.
int main(int argc, char** argv) {
    const PlatformOps& p = platform();
    p.console_begin();
    int exit_code = run_command(argc, argv);
    (void)fflush(stdout);
    (void)fflush(stderr);
    p.console_end();
    return exit_code;
}
