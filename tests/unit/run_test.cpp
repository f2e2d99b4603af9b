#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "fetch/download.h"
#include "fetch/sha256.h"
#include "fetch/verify.h"
#include "manifest/fetch_manifest.h"
#include "manifest/release.h"
#include "nodes/node_table.h"
#include "nodes/probe.h"
#include "unit/fake_platform.h"

namespace {

const std::string HEAD = std::string("=== Varnel 在线安装器 / Online Installer v") +
                         INSTALLER_VERSION +
                         " ===\n"
                         "将自动检测多个下载节点并选择最快的节点下载最新版。\n"
                         "Automatically probes multiple download nodes and downloads the latest "
                         "build via the fastest one.\n"
                         "\n";
const char STAGE1[] = "[1/4] 获取版本清单 / Fetching version manifest...\n";
const char STAGE2[] = "\n[2/4] 探测候选节点 / Probing candidate nodes...\n";
const char FAIL_LINE[] =
    "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...\n";
const char E6[] =
    "\n错误: 所有可用节点均未能完成校验, 请稍后重试或手动获取安装包。\n"
    "   Error: all reachable nodes failed verification. Retry later or get the installer "
    "manually.\n";

std::string header3(char letter) {
    return std::string("\n[3/4] 通过最快可用节点下载 / Downloading via node: 节点") + letter +
           "/Node " + letter + "\n";
}

// The run with a small release served by chosen nodes.
struct RunFixture : testing::Test {
    FakePlatform f;
    std::string body = std::string(200000, 'i') + "installer";
    std::string digest;
    // A folder per test: ctest runs the cases side by side.
    std::string dir = own_dir();
    std::string name = "Small-1.0.exe";
    std::string path = dir + name;

    static std::string own_dir() {
        std::string d = testing::TempDir() + "varnel-run-" +
                        testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
        std::error_code ignored;
        std::filesystem::create_directories(d, ignored);
        return d;
    }
    std::vector<std::string> urls = candidate_urls("1.0", "Small-1.0.exe");

    void SetUp() override {
        memset(&g_release, 0, sizeof g_release);
        memset(&g_node_table, 0, sizeof g_node_table);
        {
            std::ofstream out(path, std::ios::binary);
            out << body;
        }
        char hex[SHA256_HEX_CAPACITY];
        sha256_file(path.c_str(), hex);
        digest = hex;
        remove(path.c_str());
        f.temp_dir = dir;
        f.at(MANIFEST_URLS[0]).body =
            "v1.0\n" + name + "\n" + std::to_string(body.size()) + "\n" + digest + "\n";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    FakeResponse& node(int i) {
        FakeResponse& r = f.at(urls[i]);
        if (r.body.empty()) r.body = body;
        return r;
    }
    std::string release_line() const {
        return "   版本/Version v1.0  文件/File " + name +
               "  大小/Size 0.2 MB  来源/Source: 节点A/Node A\n";
    }
    bool file_exists() const {
        FILE* file = fopen(path.c_str(), "rb");
        if (file != nullptr) fclose(file);
        return file != nullptr;
    }
    int run(std::string* out) {
        int code = -1;
        *out = capture_stdout([&] { code = run_installer(); });
        return code;
    }
};

// The runs that end before stage 3: their last line after all that came
// before it, their exit code, and no session left open. Stage 2 without a
// reachable node asks for no temporary directory and opens no download session.
TEST_F(RunFixture, E1ToE3EndBeforeTheDownload) {
    const std::string stages = HEAD + STAGE1 + release_line() + STAGE2;
    const int64_t U = UNREACHABLE;
    const std::string node_b = probe_lines({U, 0, U, U, U, U});
    const char no_temp[] = "错误: 无法获取临时目录 / Error: cannot get temp directory\n";
    const struct {
        const char* name;
        int refusals;
        bool node_b;
        std::string temp_dir;  // "": none
        int code;
        std::string expected;
        int opens;
        bool asks_temp;
    } cases[] = {
        {"E1 no HTTP library", 2, true, dir, 2,
         HEAD + "错误: 无法初始化 WinHTTP / Error: cannot initialize WinHTTP\n", 2, false},
        {"E2 no reachable node", 0, false, dir, 1,
         stages + probe_lines(std::vector<int64_t>(6, U)) +
             "\n错误: 所有节点均不可达, 请检查网络后重试。\n   Error: no reachable node. Check "
             "your network and try again.\n",
         1, false},
        {"E3 no temporary directory", 0, true, "", 2, stages + node_b + no_temp, 1, true},
        {"E3 a temporary directory too long for its buffer", 0, true,
         "/" + std::string(300, 'd') + "/", 2, stages + node_b + no_temp, 1, true},
    };
    const std::string manifest = f.at(MANIFEST_URLS[0]).body;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform local;
        local.at(MANIFEST_URLS[0]).body = manifest;
        local.open_refusals = c.refusals;
        if (c.node_b) local.at(urls[1]).body = body;
        local.temp_fails = c.temp_dir.empty();
        local.temp_dir = c.temp_dir;
        memset(&g_node_table, 0, sizeof g_node_table);
        std::string out;
        EXPECT_EQ(run(&out), c.code);
        EXPECT_EQ(out, c.expected);
        EXPECT_EQ(local.count("open "), c.opens);
        EXPECT_EQ(local.count("temp"), c.asks_temp ? 1 : 0);
        EXPECT_EQ(local.live_handles, 0);
    }
}

TEST_F(RunFixture, E4LaunchedAfterFailover) {
    node(0).latency_ms = 10;
    node(0).body = body.substr(0, 1000);
    node(0).content_length = static_cast<int64_t>(body.size());  // truncated body
    node(1).latency_ms = 20;
    node(1).chunk = 50000;
    std::string out;
    EXPECT_EQ(run(&out), 0);
    std::string expected =
        HEAD + STAGE1 + release_line() + STAGE2 +
        probe_lines({10, 20, UNREACHABLE, UNREACHABLE, UNREACHABLE, UNREACHABLE});
    expected += header3('A') + "\r   [节点A/Node A]   0%  (0.0 / 0.2 MB)" + FAIL_LINE;
    expected += header3('B') + "\r   [节点B/Node B]  24%  (0.0 / 0.2 MB)" +
                "\r   [节点B/Node B]  49%  (0.1 / 0.2 MB)" +
                "\r   [节点B/Node B]  74%  (0.1 / 0.2 MB)" +
                "\r   [节点B/Node B]  99%  (0.2 / 0.2 MB)" +
                "\r   [节点B/Node B] 100%  (0.2 / 0.2 MB)" + "\n";
    expected +=
        "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n   校验通过 / Verified  SHA-256 " +
        digest +
        "\n   启动安装器 / Launching installer...\n\n完成: 安装器已启动 / Installer launched (at " +
        path + ")\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(f.opened, (std::vector<std::string>{path}));
    EXPECT_TRUE(file_exists());
    EXPECT_EQ(f.deleted, (std::vector<std::string>{path}));
    EXPECT_EQ(f.live_handles, 0);
    // Download session closed before the probe session, and last but the console.
    ASSERT_GE(f.log.size(), 3u);
    EXPECT_EQ(f.log[f.log.size() - 3], "close session 2");
    EXPECT_EQ(f.log[f.log.size() - 2], "close session 1");
}

TEST_F(RunFixture, E5LaunchFailsNoFurtherNode) {
    node(0);
    node(1);
    f.shell_result = 2;
    std::string out;
    EXPECT_EQ(run(&out), 1);
    EXPECT_NE(
        out.find(
            "\n警告: 安装器启动失败 / Failed to launch installer (code 2), run manually:\n   " +
            path + "\n"),
        std::string::npos);
    EXPECT_EQ(out.find("[3/4]", out.find("[3/4]") + 1), std::string::npos);
    EXPECT_EQ(out.find("错误"), std::string::npos);
    EXPECT_TRUE(file_exists());
}

TEST_F(RunFixture, E6EveryReachableNodeFails) {
    node(0).body = std::string(body.size(), 'w');  // same size, wrong bytes
    node(0).content_length = -1;
    node(1).content_length = 5;  // announced length differs
    node(2).break_after = 3000;  // broken body after the probe's share
    node(2).chunk = 2048;
    node(2).content_length = -1;
    node(3).content_length = -1;  // no length, too long: stopped at the size
    node(3).body = body + "extra";
    node(4).status = 206;  // short body without length
    node(4).content_length = -1;
    node(4).body = body.substr(1);
    std::string out;
    EXPECT_EQ(run(&out), 1);
    char actual[SHA256_HEX_CAPACITY];
    {
        std::ofstream o(path, std::ios::binary);
        o << std::string(body.size(), 'w');
    }
    sha256_file(path.c_str(), actual);
    remove(path.c_str());
    std::string expected =
        HEAD + STAGE1 + release_line() + STAGE2 + probe_lines({0, 0, 0, 0, 0, UNREACHABLE});
    expected += header3('A') + "\n" +
                "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n   哈希不匹配 / Hash "
                "mismatch!\n   期望/Expected: " +
                digest + "\n   实际/Actual:   " + actual + "\n";
    expected += header3('B') + FAIL_LINE;
    expected += header3('C') + FAIL_LINE;
    expected += header3('D') + FAIL_LINE;
    expected += header3('E') + FAIL_LINE;
    expected += E6;
    EXPECT_EQ(out, expected);
    EXPECT_FALSE(file_exists());
    EXPECT_TRUE(f.opened.empty());
    EXPECT_EQ(f.deleted.size(), 5u);
    EXPECT_EQ(f.live_handles, 0);
}

TEST_F(RunFixture, E6NullDownloadSession) {
    node(0);
    node(1);
    f.opens_allowed = 1;  // the probe session; both attempts for the download one are refused
    std::string out;
    EXPECT_EQ(run(&out), 1);
    EXPECT_NE(out.find(header3('A') + FAIL_LINE + header3('B') + FAIL_LINE + E6),
              std::string::npos);
    EXPECT_EQ(f.count("open "), 3);
    EXPECT_EQ(f.live_handles, 0);
}

// Output can be buffered (a pipe, as under ctest, or always on Windows):
// whatever the user was shown before a network call has been written out
// when it starts. A second run in the same process prints the same.
TEST_F(RunFixture, NothingPrintedIsHeldBackAtAConnection) {
    node(0).body = body.substr(0, 1000);  // fails over: failure line, next header
    node(0).content_length = static_cast<int64_t>(body.size());
    node(1);
    // Fully buffered as the Windows build has it, also when run on a terminal.
    fflush(stdout);
    (void)setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    std::string first, second;
    EXPECT_EQ(run(&first), 0);
    memset(&g_node_table, 0, sizeof g_node_table);
    EXPECT_EQ(run(&second), 0);
    EXPECT_EQ(first, second);
    // Manifest, six probes, two downloads, each run.
    EXPECT_EQ(f.held_at_connect, std::vector<int64_t>(18, 0));
    // Nor when the shell starts the installer, which may block on elevation.
    EXPECT_EQ(f.held_at_shell, (std::vector<int64_t>{0, 0}));
}

// Every exit path puts the console back, last, with nothing left to write;
// only a failure in a console of the program's own waits, after its last
// line and with the keys typed before it dropped.
TEST_F(RunFixture, ConsoleEndsEveryExitPathAndWaitsOnlyOnFailureInItsOwn) {
    const std::string manifest = f.at(MANIFEST_URLS[0]).body;
    fflush(stdout);
    (void)setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    enum Arm { NO_HTTP, NO_NODE, NO_TEMP, LAUNCH, LAUNCH_FAILS, NOTHING_VERIFIES };
    struct Case {
        const char* path;
        Arm arm;
        bool own;
        int code;
        bool waits;
    } cases[] = {
        {"E1", NO_HTTP, false, 2, false},          {"E1", NO_HTTP, true, 2, true},
        {"E2", NO_NODE, false, 1, false},          {"E2", NO_NODE, true, 1, true},
        {"E3", NO_TEMP, false, 2, false},          {"E3", NO_TEMP, true, 2, true},
        {"E4", LAUNCH, false, 0, false},           {"E4", LAUNCH, true, 0, false},
        {"E5", LAUNCH_FAILS, false, 1, false},     {"E5", LAUNCH_FAILS, true, 1, true},
        {"E6", NOTHING_VERIFIES, false, 1, false}, {"E6", NOTHING_VERIFIES, true, 1, true},
    };
    const char PROMPT[] = "\n按 Enter 键退出 / Press Enter to exit...";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.own ? " own console" : " shared console"));
        FakePlatform local;
        local.temp_dir = dir;
        local.console_own = c.own;
        local.at(MANIFEST_URLS[0]).body = manifest;
        if (c.arm == NO_HTTP) local.open_refusals = 2;
        if (c.arm != NO_HTTP && c.arm != NO_NODE) local.at(urls[1]).body = body;
        if (c.arm == NO_TEMP) local.temp_fails = true;
        if (c.arm == LAUNCH_FAILS) local.shell_result = 2;
        if (c.arm == NOTHING_VERIFIES) local.at(urls[1]).content_length = 5;
        memset(&g_node_table, 0, sizeof g_node_table);
        std::string out;
        EXPECT_EQ(run(&out), c.code);
        std::vector<std::string> tail = {"console end"};
        if (c.waits) tail.insert(tail.begin(), {"discard input", "wait"});
        ASSERT_GE(local.log.size(), tail.size() + 1);
        EXPECT_EQ(local.log.front(), "console begin");
        EXPECT_EQ(std::vector<std::string>(local.log.end() - static_cast<long>(tail.size()),
                                           local.log.end()),
                  tail);
        EXPECT_EQ(local.count("console "), 2);
        EXPECT_EQ(local.count("wait"), c.waits ? 1 : 0);
        EXPECT_EQ(local.held_at_console_end, std::vector<int64_t>{0});
        bool prompted = out.size() >= strlen(PROMPT) &&
                        out.compare(out.size() - strlen(PROMPT), std::string::npos, PROMPT) == 0;
        EXPECT_EQ(prompted, c.waits) << out;
        remove(path.c_str());
    }
}

// A release of 180,000 bytes served in 1000-byte reads: the numbers below
// are chosen so that each row sits where its rule decides.
struct PaceFixture : RunFixture {
    PaceFixture() { body = std::string(180000, 'i'); }
};

// The nodes' labels in the order their downloads began.
std::string attempted(const std::string& out) {
    const std::string mark = "Downloading via node: 节点";
    std::string letters;
    for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1))
        letters += out[at + mark.size()];
    return letters;
}

TEST_F(PaceFixture, SlowNodesAreJudgedAgainstTheLine) {
    // BREAKS_ON_RETURN: the body breaks at its second download.
    enum Serve { NONE, GOOD, OTHER_BYTES, WRONG_LENGTH, BREAKS_ON_RETURN };
    struct Node {
        Serve serve;
        std::map<size_t, uint32_t> read_ms;  // the probe's one read, at 0, stays instant
        uint32_t head_ms;
        std::pair<size_t, uint64_t> clock_back = {SIZE_MAX, 0};  // FakeResponse's
    };
    struct Case {
        const char* name;
        Node nodes[5];
        bool mirror_head_slow;  // 4 s to its head, then its body in 1.5 s
        const char* attempts;
    };
    // 1000 B/s: the first window leaves 164 kB, 154 s at that pace.
    const std::map<size_t, uint32_t> line = {{0, 0}, {1000, 1000}};
    const Node slow = {GOOD, line, 0};
    // 466 B/s and 312 B/s: under half the line's 1066, and under half of that.
    const Node half = {GOOD, {{0, 0}, {1000, 2500}}, 0};
    const Node quarter = {GOOD, {{0, 0}, {1000, 4000}}, 0};
    const Case cases[] = {
        {"equal paces on every node: one given up, then kept", {slow, slow, slow}, false, "AB"},
        {"slow and alone: kept", {slow, {}, {}}, false, "A"},
        {"slow first, every later node failing: back to it",
         {slow, {OTHER_BYTES, {}, 0}, {WRONG_LENGTH, {}, 0}},
         false,
         "ABCA"},
        // 20 kB/s with a 10 s pause: the window that holds it is judged whole.
        {"10 s pause in a fair transfer with a node behind: kept",
         {{GOOD, {{0, 0}, {1000, 50}, {100000, 10000}, {101000, 50}}, 0}, slow},
         false,
         "A"},
        {"16 s pause at 95 % with a node behind: kept",
         {{GOOD, {{0, 0}, {171000, 16000}, {172000, 0}}, 0}, slow},
         false,
         "A"},
        {"a fast window, then a collapse: given up",
         {{GOOD, {{0, 0}, {1000, 500}, {31000, 1500}}, 0}, slow},
         false,
         "AB"},
        // A at 466 B/s; B at 2066 B/s, then 500 B/s; C breaks. B goes back first.
        {"two given up: revisited fastest first",
         {{GOOD, {{0, 0}, {1000, 2500}}, 0},
          {GOOD, {{0, 0}, {1000, 500}, {31000, 2000}}, 0},
          {WRONG_LENGTH, {}, 0}},
         false,
         "ABCB"},
        // 20 kB in exactly 15 s leaves 160 kB: exactly 120 s at that pace.
        {"a rest of exactly the limit: kept",
         {{GOOD, {{0, 0}, {1000, 1000}, {15000, 200}, {20000, 0}}, 0}, slow},
         false,
         "A"},
        // 10 kB/s once the head is in: a 14 s head is no part of the pace.
        {"a slow head, then a fair body: kept",
         {{GOOD, {{0, 0}, {1000, 100}}, 14000}, {GOOD, {}, 14000}},
         false,
         "A"},
        {"a mirror's slow head: its body still in time", {{GOOD, {}, 0}}, true, "A"},
        {"the fastest first, the last at a quarter of its pace: back to the first",
         {slow, quarter},
         false,
         "ABA"},
        {"the fastest first, four under half its pace: back to it once none is untried",
         {slow, half, half, half, half},
         false,
         "ABCDEA"},
        {"nodes taken back that break: the next given up, none a third time",
         {{BREAKS_ON_RETURN, line, 0}, {BREAKS_ON_RETURN, half.read_ms, 0}, quarter},
         false,
         "ABCABC"},
        // 400 B/s given up; the last at 266 B/s, then exactly 200 B/s each window.
        {"a node given up at exactly twice this pace: this one kept",
         {{GOOD, {{0, 0}, {1000, 3000}}, 0}, {GOOD, {{0, 0}, {1000, 5000}}, 0}},
         false,
         "AB"},
        // A and B both given up at 666 B/s (A after a fast window); C at 312.
        // 10 kB/s, with the clock stepped back 1 s early on: no absurd pace.
        {"the clock stepped back mid-window: kept",
         {{GOOD, {{0, 0}, {1000, 100}}, 0, {5000, 1000}}, slow},
         false,
         "A"},
        {"two given up at the same pace: taken back in the ranking's order",
         {{GOOD, {{0, 0}, {1000, 500}, {31000, 1500}}, 0},
          {GOOD, {{0, 0}, {1000, 1650}}, 0},
          quarter},
         false,
         "ABCA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        memset(&g_node_table, 0, sizeof g_node_table);
        memset(&g_release, 0, sizeof g_release);
        FakePlatform local;
        local.temp_dir = dir;
        FakeResponse& mirror = local.at(MANIFEST_URLS[0]);
        mirror.body = f.at(MANIFEST_URLS[0]).body;
        if (c.mirror_head_slow) {
            mirror.latency_ms = 4000;
            mirror.chunk = 20;
            mirror.read_ms = {{0, 300}};
        }
        for (int i = 0; i < 5; ++i) {
            const Node& n = c.nodes[i];
            if (n.serve == NONE) continue;
            FakeResponse& r = local.at(urls[i]);
            // The probe's close, then the first download's.
            if (n.serve == BREAKS_ON_RETURN)
                r.on_close = [&r, closes = 0]() mutable {
                    if (++closes == 2) r.break_after = 5000;
                };
            r.body = n.serve == OTHER_BYTES ? std::string(body.size(), 'w') : body;
            r.content_length = n.serve == WRONG_LENGTH ? 5 : -2;
            r.chunk = 1000;
            r.read_ms = n.read_ms;
            r.latency_ms = n.head_ms;
            r.clock_back = n.clock_back;
        }
        int code = -1;
        std::string out = capture_stdout([&] { code = run_installer(); });
        EXPECT_EQ(code, 0) << out;
        EXPECT_EQ(attempted(out), c.attempts) << out;
        EXPECT_EQ(local.opened.size(), 1u);
        remove(path.c_str());
    }
}

}  // namespace
