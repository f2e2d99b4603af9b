#include "net/https.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "unit/fake_platform.h"

namespace {

TEST(SplitUrl, HostAndPath) {
    FakePlatform f;
    struct Case {
        std::string url, host, path;
    } cases[] = {
        {"https://github.com/a/b?x=1", "github.com", "/a/b?x=1"},
        {"github.com/a", "github.com", "/a"},
        {"https://github.com", "github.com", "/"},
        {"https://host:8443/p", "host:8443", "/p"},
        {"https://ghfast.top/https://github.com/v/v/releases/download/v1/a.exe", "ghfast.top",
         "/https://github.com/v/v/releases/download/v1/a.exe"},
        {"", "", "/"},
        {"https://", "", "/"},
        {"ftp://h/x://y", "h", "/x://y"},
        {"https://节点.cn/路径", "节点.cn", "/路径"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        char16_t host[URL_PART_UNITS];
        char16_t path[URL_PART_UNITS];
        split_url(c.url.c_str(), host, path);
        EXPECT_EQ(narrow(host), c.host);
        EXPECT_EQ(narrow(path), c.path);
    }
}

TEST(SplitUrl, LongPartsAreCutAndTerminated) {
    FakePlatform f;
    char16_t host[URL_PART_UNITS];
    char16_t path[URL_PART_UNITS];
    std::string long_host(700, 'h');
    split_url(("https://" + long_host + "/p").c_str(), host, path);
    EXPECT_EQ(narrow(host), std::string(511, 'h'));
    EXPECT_EQ(narrow(path), "/p");

    // Paths of 1023 units and more: unit 1023 is always 0, never a stray unit.
    for (size_t length : {1022u, 1023u, 1024u, 5000u}) {
        SCOPED_TRACE(length);
        for (auto& u : path) u = u'x';
        split_url(("https://h/" + std::string(length, 'p')).c_str(), host, path);
        EXPECT_EQ(path[URL_PART_UNITS - 1], 0);
        std::string got = narrow(path);
        EXPECT_LE(got.size(), 1023u);
        if (length + 1 <= 1023) {
            EXPECT_EQ(got.size(), length + 1);
        }
    }
}

// Each option with its own field of the profile, in order, every one tried
// even when the library refuses them. The timings themselves are held by the
// conformance suite, where stalls and drops end within each bound.
std::vector<std::pair<uint32_t, uint32_t>> options_for(const TimeoutProfile& p) {
    return {{HTTP_OPTION_RESOLVE_TIMEOUT, p.resolve_ms},
            {HTTP_OPTION_CONNECT_TIMEOUT, p.connect_ms},
            {HTTP_OPTION_SEND_TIMEOUT, p.send_ms},
            {HTTP_OPTION_RECEIVE_TIMEOUT, p.receive_ms},
            {HTTP_OPTION_SECURE_PROTOCOLS, HTTP_PROTOCOL_TLS1_1 | HTTP_PROTOCOL_TLS1_2}};
}

TEST(OpenSession, FallsBackOnceAndSetsEveryOption) {
    struct Case {
        int refusals;
        bool options_fail;
        const TimeoutProfile* profile;
        bool opened;
        std::vector<uint32_t> access;  // of each attempt
    } cases[] = {
        {0, false, &PROBE_TIMEOUTS, true, {HTTP_ACCESS_AUTOMATIC_PROXY}},
        {1, false, &PROBE_TIMEOUTS, true, {HTTP_ACCESS_AUTOMATIC_PROXY, HTTP_ACCESS_NO_PROXY}},
        {2, false, &PROBE_TIMEOUTS, false, {HTTP_ACCESS_AUTOMATIC_PROXY, HTTP_ACCESS_NO_PROXY}},
        {0, false, &DOWNLOAD_TIMEOUTS, true, {HTTP_ACCESS_AUTOMATIC_PROXY}},
        {0, true, &DOWNLOAD_TIMEOUTS, true, {HTTP_ACCESS_AUTOMATIC_PROXY}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.refusals) + " refusals, options " +
                     (c.options_fail ? "refused" : "taken") +
                     (c.profile == &PROBE_TIMEOUTS ? ", probe" : ", download"));
        FakePlatform f;
        f.open_refusals = c.refusals;
        f.options_fail = c.options_fail;
        f.at("https://h.test/x").body = "x";
        std::string printed = capture_stdout([&] {
            HttpsSession s = open_session(*c.profile);
            EXPECT_EQ(session_is_open(s), c.opened);
            // Each request's head is held to the session's receive timeout.
            HttpsExchange exchange = {nullptr, nullptr};
            if (begin_get_step(s, "https://h.test/x", nullptr, &exchange) == GetStep::DONE)
                end_get(&exchange);
            close_session(s);
        });
        EXPECT_EQ(printed, "");
        std::vector<uint32_t> access;
        const std::string opened = "open " + narrow(USER_AGENT) + " ";
        for (const auto& line : f.log)
            if (line.rfind(opened, 0) == 0)
                access.push_back(std::stoul(line.substr(opened.size())));
        EXPECT_EQ(access, c.access);
        std::vector<std::pair<uint32_t, uint32_t>> set;
        for (size_t i = 0; i < f.options.size(); ++i)
            set.emplace_back(f.options[i], f.option_values[i]);
        auto expected = options_for(*c.profile);
        expected.emplace_back(HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, c.profile->receive_ms);
        EXPECT_EQ(set, c.opened ? expected : decltype(set){});
        EXPECT_EQ(f.live_handles, 0);
    }
    // The table tells the profiles apart only where their fields differ.
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NE(options_for(PROBE_TIMEOUTS)[i].second, options_for(DOWNLOAD_TIMEOUTS)[i].second);
    // No timed case covers the download bounds (it would wait 15 to 30 s).
    const TimeoutProfile& d = DOWNLOAD_TIMEOUTS;
    EXPECT_EQ((std::vector<uint32_t>{d.resolve_ms, d.connect_ms, d.send_ms, d.receive_ms}),
              (std::vector<uint32_t>{10000, 15000, 15000, 30000}));
}

// Every failing step leaves exactly the handles it should closed, in reverse order.
TEST(Exchange, ClosingRuleOnEveryFailureStep) {
    struct Case {
        const char* name;
        void (*arm)(FakeResponse&);
        bool begins;
        bool sends;
        std::vector<std::string> closes;
    };
    const std::vector<std::string> conn = {"close connection"};
    const std::vector<std::string> both = {"close request", "close connection"};
    const Case cases[] = {
        {"connect", [](FakeResponse& r) { r.connect_fails = true; }, false, false, {}},
        {"request", [](FakeResponse& r) { r.open_request_fails = true; }, false, false, conn},
        {"header", [](FakeResponse& r) { r.add_headers_fails = true; }, false, false, both},
        {"send", [](FakeResponse& r) { r.send_fails = true; }, true, false, both},
        {"receive", [](FakeResponse& r) { r.receive_fails = true; }, true, false, both},
        {"status query", [](FakeResponse& r) { r.status_query_fails = true; }, true, false, both},
        {"status 404", [](FakeResponse& r) { r.status = 404; }, true, false, both},
        {"success", [](FakeResponse&) {}, true, true, both},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        c.arm(f.at("https://h.example/file"));
        HttpsSession s = open_session(PROBE_TIMEOUTS);
        HttpsExchange x{};
        bool begun =
            begin_get_step(s, "https://h.example/file", PROBE_RANGE_HEADER, &x) == GetStep::DONE;
        EXPECT_EQ(begun, c.begins);
        if (begun) {
            uint32_t status = 0;
            EXPECT_EQ(send_get_step(&x, &status) == GetStep::DONE, c.sends);
            end_get(&x);
        }
        std::vector<std::string> closes;
        for (const auto& line : f.log)
            if (line.rfind("close", 0) == 0) closes.push_back(line);
        EXPECT_EQ(closes, c.closes);
        close_session(s);
        EXPECT_EQ(f.live_handles, 0);
    }
}

TEST(Exchange, RequestShapeAndStatuses) {
    for (uint32_t status : {200u, 206u, 204u, 301u, 302u, 404u, 500u}) {
        SCOPED_TRACE(status);
        FakePlatform f;
        f.at("https://h.example:8443/a?b").status = status;
        HttpsSession s = open_session(PROBE_TIMEOUTS);
        HttpsExchange x{};
        ASSERT_TRUE(begin_get_step(s, "https://h.example:8443/a?b", nullptr, &x) == GetStep::DONE);
        uint32_t got = 0;
        EXPECT_EQ(send_get_step(&x, &got),
                  status == 200 || status == 206 ? GetStep::DONE : GetStep::STATUS);
        EXPECT_EQ(got, status);
        end_get(&x);
        close_session(s);
        EXPECT_EQ(f.count("connect h.example:8443:443"), 1);
        EXPECT_EQ(f.count("request GET /a?b 8388608"), 1);
        EXPECT_TRUE(f.headers_added.empty());
    }
    FakePlatform f;
    f.at("https://h/x");
    HttpsExchange x{};
    HttpsSession s = open_session(PROBE_TIMEOUTS);
    ASSERT_TRUE(begin_get_step(s, "https://h/x", PROBE_RANGE_HEADER, &x) == GetStep::DONE);
    end_get(&x);
    close_session(s);
    EXPECT_EQ(f.headers_added, (std::vector<std::string>{"Range: bytes=0-16383 536870912"}));
}

TEST(Exchange, ContentLengthAbsentIsZero) {
    struct Case {
        int64_t header;
        uint32_t expected;
    } cases[] = {{-1, 0}, {0, 0}, {7532411, 7532411}};
    for (const auto& c : cases) {
        FakePlatform f;
        f.at("https://h/x").content_length = c.header;
        HttpsSession s = open_session(DOWNLOAD_TIMEOUTS);
        HttpsExchange x{};
        ASSERT_TRUE(begin_get_step(s, "https://h/x", nullptr, &x) == GetStep::DONE);
        uint32_t status = 0;
        ASSERT_EQ(send_get_step(&x, &status), GetStep::DONE);
        EXPECT_EQ(query_content_length(&x), c.expected);
        end_get(&x);
        close_session(s);
    }
}

TEST(Exchange, NullSessionFailsAtConnect) {
    FakePlatform f;
    f.at("https://h/x");
    HttpsExchange x{};
    EXPECT_EQ(begin_get_step(NO_SESSION, "https://h/x", nullptr, &x), GetStep::CONNECT);
    EXPECT_EQ(f.live_handles, 0);
}

}  // namespace
