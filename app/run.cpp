#include "app/run.h"

#include <cstdio>

#include "app/process.h"
#include "fetch/download.h"
#include "fetch/verify.h"
#include "manifest/fetch_manifest.h"
#include "net/https.h"
#include "nodes/node_table.h"
#include "nodes/probe.h"
#include "platform/platform.h"
#include "publisher.h"

namespace {

// Null unless the build names a publisher: only then is the check linked in.
const Pin* build_pin() {
    static constexpr Pin PIN = {BUILD_PUBLISHER, signed_by_publisher};
    if constexpr (BUILD_PUBLISHER[0] != '\0') return &PIN;
    return nullptr;
}

void print_banner() {
    printf("=== %s 在线安装器 / Online Installer v%s ===\n", PRODUCT_NAME, INSTALLER_VERSION);
    puts("将自动检测多个下载节点并选择最快的节点下载最新版。");
    puts(
        "Automatically probes multiple download nodes and downloads the latest build via the "
        "fastest one.\n");
}

// Stages 1 and 2 over the probe session: the release, then the ranked
// nodes. False, with the error printed, when no node is reachable.
bool find_nodes(HttpsSession probe_session) {
    puts("[1/4] 获取版本清单 / Fetching version manifest...");
    // Output may be buffered: each header shows before its stage's network calls.
    fflush(stdout);
    fetch_manifest(probe_session, BUILD_PUBLISHER[0] != '\0', &g_release);

    puts("\n[2/4] 探测候选节点 / Probing candidate nodes...");
    fflush(stdout);
    build_candidates(&g_node_table, g_release);
    probe_nodes(probe_session, &g_node_table);
    rank_nodes(&g_node_table);
    if (g_node_table.entries[0].reachable != 0) return true;
    puts("\n错误: 所有节点均不可达, 请检查网络后重试。");
    puts("   Error: no reachable node. Check your network and try again.");
    return false;
}

// Stages 3 and 4 over a download session of their own, closed before the
// caller closes the probe session; returns the exit code.
int download_stages(const PlatformOps& p) {
    char temp_dir[TEMP_DIR_CAPACITY];
    if (p.get_temp_path(TEMP_DIR_CAPACITY, temp_dir) == 0) {
        puts("错误: 无法获取临时目录 / Error: cannot get temp directory");
        return EXIT_CANNOT_BEGIN;
    }
    char installer_path[INSTALLER_PATH_CAPACITY];
    snprintf(installer_path, sizeof installer_path, "%s%s", temp_dir, g_release.file_name);

    // A null session is carried on: every attempt then fails at its connection.
    HttpsSession download_session = open_session(DOWNLOAD_TIMEOUTS);
    WalkResult walk = fetch_and_launch(download_session, installer_path, build_pin());
    close_session(download_session);
    if (walk == WalkResult::LAUNCHED) return EXIT_LAUNCHED;
    if (walk == WalkResult::NOTHING_VERIFIED) {
        puts("\n错误: 所有可用节点均未能完成校验, 请稍后重试或手动获取安装包。");
        puts(
            "   Error: all reachable nodes failed verification. Retry later or get the installer "
            "manually.");
    }
    return EXIT_NOT_LAUNCHED;
}

// The run from the banner to its exit code.
int run_stages(const PlatformOps& p) {
    print_banner();
    HttpsSession probe_session = open_session(PROBE_TIMEOUTS);
    if (!session_is_open(probe_session)) {
        puts("错误: 无法初始化 WinHTTP / Error: cannot initialize WinHTTP");
        return EXIT_CANNOT_BEGIN;
    }
    int exit_code = find_nodes(probe_session) ? download_stages(p) : EXIT_NOT_LAUNCHED;
    close_session(probe_session);
    return exit_code;
}

}  // namespace

int run_installer() {
    const PlatformOps& p = platform();
    p.console_begin();
    int exit_code = run_stages(p);
    // A window of its own closes with the process: a failure stays readable.
    if (exit_code != EXIT_LAUNCHED && p.console_is_own()) {
        fputs("\n按 Enter 键退出 / Press Enter to exit...", stdout);
        fflush(stdout);
        // Keys pressed while the run went on must not answer the prompt.
        p.discard_input();
        p.wait_for_enter();
    }
    // The last lines in the code page they were written for.
    fflush(stdout);
    fflush(stderr);
    p.console_end();
    return exit_code;
}
