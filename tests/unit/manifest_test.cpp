// Stage 1: the mirrors in order, each answer judged, and the source label.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "manifest/fetch_manifest.h"
#include "nodes/urls.h"
#include "unit/fake_platform.h"

namespace {

TEST(SourceLabel, NamesTheMirrorsAndTheFirstNameInRuleOrder) {
    struct Case {
        const char* url;
        const char* label;
    } cases[] = {
        {MANIFEST_URLS[0], "节点A/Node A"},
        {MANIFEST_URLS[1], "节点B/Node B"},
        {MANIFEST_URLS[2], "节点C/Node C"},
        {MANIFEST_URLS[3], "节点C/Node C"},
        {MANIFEST_URLS[4], "节点D/Node D"},
        // Two hosts' names in one URL: the earlier name in the rule's order
        // decides, wherever it stands.
        {"https://ghproxy.net/https://raw.githubusercontent.com/varnel/varnel/main/manifest.txt",
         "节点C/Node C"},
        {"https://huggingface.co/datasets/varnel/github-mirror/resolve/main/manifest.txt",
         "节点C/Node C"},
        {"https://raw.githubusercontent.com/varnel/modelscope-sync/main/manifest.txt",
         "节点A/Node A"},
        {"https://raw.githubusercontent.com/varnel/varnel/main/varnel.dev/manifest.txt",
         "节点B/Node B"},
        {"https://varnel.dev/dl/huggingface/manifest.txt", "节点B/Node B"},
        {"https://mirror.example.org/varnel/manifest.txt", "程序内置/Built-in"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_STREQ(source_label_for(c.url), c.label);
    }
}

TEST(ReleaseManifest, VersionNumbers) {
    struct Case {
        const char* version;
        bool numbers;
        uint16_t expected[4];
    } cases[] = {
        {"9.2.0", true, {9, 2, 0, 0}},
        {"9", true, {9, 0, 0, 0}},
        {"1.2.3.4", true, {1, 2, 3, 4}},
        {"65535.0", true, {65535, 0, 0, 0}},
        {"1.2.3.4.5", false, {}},
        {"65536", false, {}},
        {"9..2", false, {}},
        {"9.2.", false, {}},
        {".9", false, {}},
        {"9.2-rc", false, {}},
        {"", false, {}},
        {"v9", false, {}},
    };
    for (const Case& c : cases) {
        uint16_t numbers[4] = {7, 7, 7, 7};
        EXPECT_EQ(version_numbers(c.version, numbers), c.numbers) << c.version;
        if (c.numbers) {
            EXPECT_EQ(compare_version_numbers(numbers, c.expected), 0) << c.version;
        }
    }
    uint16_t older[4] = {2, 0, 3, 9};
    uint16_t newer[4] = {2, 0, 4, 0};
    EXPECT_LT(compare_version_numbers(older, newer), 0);
    EXPECT_GT(compare_version_numbers(newer, older), 0);
}

struct MirrorCase {
    const char* name;
    std::vector<std::pair<int, FakeResponse>> mirrors;  // entry index, response
    std::string expected_line;
    std::vector<int> contacted;  // entries whose host got a connection
    bool pinned = false;         // as a build naming a publisher
};

TEST(FetchManifest, FallbackOrderLabelsAndLimits) {
    const std::string D(64, 'A');
    auto manifest = [&](const std::string& version) {
        FakeResponse r;
        r.body = "v" + version + "\r\nSetup-" + version + ".exe\r\n1048576\r\n" + D + "\r\n";
        return r;
    };
    auto padded = [&](size_t total) {
        FakeResponse r = manifest("3.0");
        r.body += std::string(total - r.body.size(), '#');
        r.chunk = 1000;
        return r;
    };
    FakeResponse not_found;
    not_found.status = 404;
    FakeResponse empty;
    FakeResponse partial = manifest("2.1");
    partial.status = 206;
    FakeResponse bad_digest = manifest("9");
    bad_digest.body = "v9\na.exe\n1\nnot-a-digest\n";
    FakeResponse negative = manifest("9");
    negative.body = "v9\na.exe\n-1\n" + D;
    FakeResponse broken = manifest("9");
    broken.break_after = 0;
    FakeResponse refused;
    refused.connect_fails = true;
    FakeResponse trickling = manifest("9");
    trickling.chunk = 1;
    trickling.read_ms = {{0, 2000}};  // a byte every 2 s: each read inside any receive timeout
    const std::string builtin =
        "   版本/Version v2.0.4  文件/File Varnel-2.0.4-windows-amd64-setup.exe  大小/Size 7.2 MB  "
        "来源/Source: 程序内置/Built-in\n";
    auto line = [](const std::string& v, const char* label) {
        return "   版本/Version v" + v + "  文件/File Setup-" + v +
               ".exe  大小/Size 1.0 MB  来源/Source: " + label + "\n";
    };
    const MirrorCase cases[] = {
        {"none reachable", {}, builtin, {}},
        {"404 then valid",
         {{0, not_found}, {1, manifest("2.1")}, {2, manifest("9")}},
         line("2.1", "节点B/Node B"),
         {0, 1}},
        {"refused, bad digest, valid",
         {{0, refused}, {1, bad_digest}, {2, manifest("2.2")}},
         line("2.2", "节点C/Node C"),
         {1, 2}},
        {"entry 4 labelled C", {{3, manifest("2.3")}}, line("2.3", "节点C/Node C"), {2, 3}},
        {"only entry 5", {{4, manifest("2.4")}}, line("2.4", "节点D/Node D"), {4}},
        {"empty body refused",
         {{0, empty}, {4, manifest("2.4")}},
         line("2.4", "节点D/Node D"),
         {0, 4}},
        {"206 accepted", {{0, partial}}, line("2.1", "节点A/Node A"), {0}},
        {"negative size refused", {{0, negative}}, builtin, {0}},
        {"broken body refused", {{0, broken}}, builtin, {0}},
        {"one byte past the largest body refused, the largest taken",
         {{0, padded(MANIFEST_BODY_MAX + 1)}, {1, padded(MANIFEST_BODY_MAX)}},
         line("3.0", "节点B/Node B"),
         {0, 1}},
        {"far too long refused", {{0, padded(100000)}}, builtin, {0}},
        {"a byte every 2 s: given up for the next",
         {{0, trickling}, {1, manifest("2.1")}},
         line("2.1", "节点B/Node B"),
         {0, 1}},
        {"pinned: older than the built-in refused, the next taken",
         {{0, manifest("1.9")}, {1, manifest("2.0.4")}},
         line("2.0.4", "节点B/Node B"),
         {0, 1},
         true},
        {"pinned: a version not of numbers refused", {{0, manifest("2.1-rc")}}, builtin, {0}, true},
        {"unpinned: both taken as they are",
         {{0, manifest("1.9")}},
         line("1.9", "节点A/Node A"),
         {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        for (const auto& [index, response] : c.mirrors) f.at(MANIFEST_URLS[index]) = response;
        HttpsSession s = open_session(PROBE_TIMEOUTS);
        ReleaseInfo r{};
        const uint64_t start = f.clock_ms;
        std::string out = capture_stdout([&] { fetch_manifest(s, c.pinned, &r); });
        close_session(s);
        EXPECT_EQ(out, c.expected_line);
        // No mirror holds the stage past its body's bound and one read.
        EXPECT_LE(f.clock_ms - start, MIRROR_BODY_LIMIT_MS + 2000);
        EXPECT_EQ(f.live_handles, 0);
        // Reads never go past what the buffer holds before its terminator.
        uint32_t total = 0;
        for (uint32_t asked : f.reads_asked) total += asked;
        EXPECT_LE(total, (MANIFEST_BODY_MAX + 1u) * MANIFEST_URL_COUNT);
        std::vector<int> contacted;
        for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
            char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
            split_url(MANIFEST_URLS[i], host, path);
            // Entries 3 and 4 share a host: count the request paths instead.
            if (f.count("request GET " + narrow(path)) > 0) contacted.push_back(i);
        }
        if (!c.contacted.empty() || c.mirrors.empty()) {
            std::vector<int> expected = c.contacted;
            // Refused connections never reach the request step.
            EXPECT_EQ(contacted, expected);
        }
    }
}

}  // namespace
