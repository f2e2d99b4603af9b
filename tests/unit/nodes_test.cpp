#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "manifest/release.h"
#include "nodes/node_table.h"
#include "nodes/probe.h"
#include "nodes/urls.h"
#include "unit/fake_platform.h"

namespace {

// The hubs name the file, the release host its version and file, and each
// proxy slot that is set wraps the release URL, in stage 2's order.
TEST(BuildCandidates, OrderLabelsAndProxySlots) {
    char rel[RELEASE_URL_CAPACITY];
    snprintf(rel, sizeof rel, RELEASE_URL_FORMAT, BUILTIN_RELEASE.version,
             BUILTIN_RELEASE.file_name);
    const std::string file = std::string("/") + BUILTIN_RELEASE.file_name;
    const char* const cases[][3] = {
        {"https://p1/", "https://p2/", "https://p3/"},
        {"https://p1/", "", "https://p3/"},
        {"", "", ""},
    };
    for (const auto& prefixes : cases) {
        std::vector<std::string> urls = {MODEL_HUB_BASE + file, rel};
        for (const char* prefix : prefixes)
            if (prefix[0] != '\0') urls.push_back(prefix + std::string(rel));
        urls.push_back(DATASET_HUB_BASE + file);
        SCOPED_TRACE(testing::PrintToString(urls));
        NodeTable t{};
        build_candidates_with(&t, BUILTIN_RELEASE, prefixes);
        ASSERT_EQ(t.count, static_cast<int32_t>(urls.size()));
        for (int i = 0; i < t.count; ++i) {
            EXPECT_EQ(t.entries[i].url, urls[static_cast<size_t>(i)]);
            EXPECT_EQ(t.entries[i].label, NODE_LABELS[i]);
            EXPECT_EQ(t.entries[i].reachable, 0);
            EXPECT_EQ(t.entries[i].latency_ms, LATENCY_UNMEASURED);
        }
    }
    NodeTable t{};
    build_candidates(&t, BUILTIN_RELEASE);
    EXPECT_EQ(t.count, 6);
}

TEST(AddNode, FullTableAndLongUrls) {
    NodeTable t{};
    for (int i = 0; i < NODE_CAPACITY; ++i) add_node(&t, NODE_LABELS[i], "https://n%d/", i);
    add_node(&t, "x", "https://extra/");
    EXPECT_EQ(t.count, 8);
    EXPECT_STREQ(t.entries[7].url, "https://n7/");
    EXPECT_EQ(t.entries[7].label, NODE_LABELS[7]);

    NodeTable u{};
    u.entries[0].reachable = 1;
    u.entries[0].latency_ms = 5;
    std::string long_url(700, 'u');
    add_node(&u, NODE_LABELS[0], "%s", long_url.c_str());
    EXPECT_EQ(strlen(u.entries[0].url), 599u);
    EXPECT_EQ(u.count, 1);
    EXPECT_EQ(u.entries[0].reachable, 0);
    EXPECT_EQ(u.entries[0].latency_ms, 0xFFFFFFFFu);
}

TEST(RankNodes, ReachableFirstByLatencyStable) {
    struct Case {
        std::vector<std::pair<int, uint32_t>> nodes;  // reachable, latency, in candidate order
        std::string expected;                         // letters of the ranked order
    } cases[] = {
        {{{0, ~0u}, {1, 312}, {1, 95}, {0, ~0u}, {1, 95}, {1, 140}}, "CEFBAD"},
        {{{0, ~0u}, {0, ~0u}, {0, ~0u}}, "ABC"},
        {{{1, 7}}, "A"},
        {{{1, 0}, {1, 0}, {1, 1}, {1, 0}}, "ABDC"},
        {{{1, 0xFFFFFFFE}, {1, 3}}, "BA"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        NodeTable t{};
        for (size_t i = 0; i < c.nodes.size(); ++i) {
            add_node(&t, NODE_LABELS[i], "https://%c/", static_cast<char>('A' + i));
            t.entries[i].reachable = c.nodes[i].first;
            t.entries[i].latency_ms = c.nodes[i].second;
        }
        rank_nodes(&t);
        std::string order;
        for (int i = 0; i < t.count; ++i) {
            order += t.entries[i].url[8];
            // Label travels with its URL.
            EXPECT_EQ(t.entries[i].label[13], t.entries[i].url[8]);
        }
        EXPECT_EQ(order, c.expected);
    }
}

TEST(ProbeNodes, ReachabilityLatencyAndLines) {
    FakePlatform f;
    NodeTable t{};
    const char* urls[] = {"https://a/f", "https://b/f", "https://c/f", "https://d/f",
                          "https://e/f", "https://f/f", "https://g/f"};
    for (int i = 0; i < 7; ++i) add_node(&t, NODE_LABELS[i], "%s", urls[i]);
    f.at(urls[0]).connect_fails = true;  // unreachable
    f.at(urls[1]) = FakeResponse{};      // 200, whole body ignored Range
    f.at(urls[1]).body = std::string(100000, 'x');
    f.at(urls[1]).latency_ms = 312;
    f.at(urls[1]).close_ms = 5000;  // closing is no part of the latency
    f.at(urls[2]).status = 206;     // ranged answer, same tick
    f.at(urls[2]).body = std::string(16384, 'x');
    f.at(urls[3]).status = 200;  // no body bytes
    f.at(urls[4]).status = 404;
    f.at(urls[4]).body = "not found";
    f.at(urls[5]).body = std::string(10, 'x');
    f.at(urls[5]).latency_ms = 123456;  // widens the field
    f.at(urls[6]).body = "x";
    f.at(urls[6]).add_headers_fails = true;
    HttpsSession s = open_session(PROBE_TIMEOUTS);
    std::string out = capture_stdout([&] { probe_nodes(s, &t); });
    close_session(s);
    const std::vector<int64_t> latency = {UNREACHABLE, 312,    0,          UNREACHABLE,
                                          UNREACHABLE, 123456, UNREACHABLE};
    EXPECT_EQ(out, probe_lines(latency));
    for (size_t i = 0; i < latency.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(t.entries[i].reachable, latency[i] == UNREACHABLE ? 0 : 1);
        EXPECT_EQ(t.entries[i].latency_ms, latency[i] == UNREACHABLE
                                               ? LATENCY_UNMEASURED
                                               : static_cast<uint32_t>(latency[i]));
    }
    // One read of at most 2048 bytes per reachable probe.
    EXPECT_EQ(f.reads_asked, (std::vector<uint32_t>{2048, 2048, 10}));
    EXPECT_EQ(f.live_handles, 0);
}

}  // namespace
