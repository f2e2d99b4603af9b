#include "net/https.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fetch/download.h"
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

// A session through the system's proxy settings, else directly, else none;
// every bound of its profile on the handle that applies it, before the send:
// the session's on the session, the whole head's on each request, equal to
// the session's receive timeout; each tried though the library refuses the
// others. A profile of distinct values shows a swapped field.
TEST(OpenSession, FallsBackOnceAndSetsEachBoundOnItsHandleBeforeTheSend) {
    const TimeoutProfile distinct = {101, 102, 103, 104};
    const struct {
        const TimeoutProfile* p;
        int refusals;
        bool refused;
    } cases[] = {{&distinct, 0, false}, {&distinct, 0, true},        {&distinct, 1, false},
                 {&distinct, 2, false}, {&PROBE_TIMEOUTS, 0, false}, {&DOWNLOAD_TIMEOUTS, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "resolve " << c.p->resolve_ms << " ms, " << c.refusals
                     << " refusals, options " << (c.refused ? "refused" : "taken"));
        FakePlatform f;
        f.open_refusals = c.refusals;
        f.options_fail = c.refused;
        f.at("https://h.test/x").body = "x";
        HttpsSession s = NO_SESSION;
        EXPECT_EQ(capture_stdout([&] { s = open_session(*c.p); }), "");
        HttpsExchange x{};
        uint32_t status = 0;
        if (begin_get(s, "https://h.test/x", nullptr, &x) == GetStep::DONE) {
            EXPECT_EQ(send_get(&x, &status), GetStep::DONE);
            end_get(&x);
        }
        close_session(s);
        auto set = [](const char* handle, uint32_t option, uint32_t value) {
            return std::string("option ") + handle + " " + std::to_string(option) + " " +
                   std::to_string(value);
        };
        const std::string open = "open " + narrow(USER_AGENT) + " ";
        std::vector<std::string> expected = {open + std::to_string(HTTP_ACCESS_AUTOMATIC_PROXY)};
        if (c.refusals > 0) expected.push_back(open + std::to_string(HTTP_ACCESS_NO_PROXY));
        if (c.refusals < 2)
            expected.insert(
                expected.end(),
                {set("session", HTTP_OPTION_RESOLVE_TIMEOUT, c.p->resolve_ms),
                 set("session", HTTP_OPTION_CONNECT_TIMEOUT, c.p->connect_ms),
                 set("session", HTTP_OPTION_SEND_TIMEOUT, c.p->send_ms),
                 set("session", HTTP_OPTION_RECEIVE_TIMEOUT, c.p->receive_ms),
                 set("session", HTTP_OPTION_SECURE_PROTOCOLS, SECURE_PROTOCOLS),
                 set("request", HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, c.p->receive_ms), "send"});
        std::vector<std::string> got;
        for (const std::string& entry : f.log)
            if (entry.rfind("open ", 0) == 0 || entry.rfind("option ", 0) == 0 || entry == "send")
                got.push_back(entry);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(f.live_handles, 0);
    }
}

// What the stages rely on of the two profiles, whatever their numbers: the
// probes give up sooner than a download at every step, and a download's read
// outlasts a pace window, so a pause within one is judged by the slow-node
// rule, not ended by the read.
TEST(OpenSession, TheProfilesKeepTheirRelations) {
    for (uint32_t TimeoutProfile::*bound :
         {&TimeoutProfile::resolve_ms, &TimeoutProfile::connect_ms, &TimeoutProfile::send_ms,
          &TimeoutProfile::receive_ms}) {
        EXPECT_LT(PROBE_TIMEOUTS.*bound, DOWNLOAD_TIMEOUTS.*bound);
        EXPECT_GT(PROBE_TIMEOUTS.*bound, 0u);
    }
    EXPECT_GT(DOWNLOAD_TIMEOUTS.receive_ms, SLOW_WINDOW_MS);
}

// Each step's failure is named, a final status other than 200 or 206 kept,
// and exactly the handles opened are closed, the request before the
// connection. The request goes to port 443 of the host as written, for its
// path, with the extra header only when one is given.
TEST(Exchange, EachStepNamedAndWhatItOpenedClosed) {
    struct Case {
        const char* name;
        void (*arm)(FakeResponse&);  // null: answers `status`
        GetStep step;
        uint32_t status;
        std::vector<std::string> closes;
        bool range = true;
        bool session = true;
    };
    const std::vector<std::string> conn = {"close connection"};
    const std::vector<std::string> both = {"close request", "close connection"};
    const Case cases[] = {
        {"no session", nullptr, GetStep::CONNECT, 0, {}, true, false},
        {"connect", [](FakeResponse& r) { r.connect_fails = true; }, GetStep::CONNECT, 0, {}},
        {"request", [](FakeResponse& r) { r.open_request_fails = true; }, GetStep::OPEN_REQUEST, 0,
         conn},
        {"header", [](FakeResponse& r) { r.add_headers_fails = true; }, GetStep::ADD_HEADER, 0,
         both},
        {"send", [](FakeResponse& r) { r.send_fails = true; }, GetStep::SEND, 0, both},
        {"receive", [](FakeResponse& r) { r.receive_fails = true; }, GetStep::RECEIVE, 0, both},
        {"status query", [](FakeResponse& r) { r.status_query_fails = true; },
         GetStep::STATUS_QUERY, 0, both},
        {"200", nullptr, GetStep::DONE, 200, both},
        {"206 without the range", nullptr, GetStep::DONE, 206, both, false},
        {"204", nullptr, GetStep::STATUS, 204, both},
        {"301", nullptr, GetStep::STATUS, 301, both},
        {"302", nullptr, GetStep::STATUS, 302, both},
        {"404", nullptr, GetStep::STATUS, 404, both},
        {"500", nullptr, GetStep::STATUS, 500, both},
    };
    const char url[] = "https://h.example:8443/a?b";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        if (c.arm != nullptr)
            c.arm(f.at(url));
        else
            f.at(url).status = c.status == 0 ? 200 : c.status;
        HttpsSession s = c.session ? open_session(PROBE_TIMEOUTS) : NO_SESSION;
        HttpsExchange x{};
        GetStep step = begin_get(s, url, c.range ? PROBE_RANGE_HEADER : nullptr, &x);
        uint32_t got = 0;
        if (step == GetStep::DONE) {
            step = send_get(&x, &got);
            end_get(&x);
        }
        EXPECT_EQ(step, c.step);
        EXPECT_EQ(got, c.status);
        std::vector<std::string> closes;
        for (const auto& line : f.log)
            if (line.rfind("close", 0) == 0 && line.rfind("close session", 0) != 0)
                closes.push_back(line);
        EXPECT_EQ(closes, c.closes);
        close_session(s);
        EXPECT_EQ(f.live_handles, 0);
        if (c.step != GetStep::DONE) continue;
        EXPECT_EQ(f.count("connect h.example:8443:443"), 1);
        EXPECT_EQ(f.count("request GET /a?b 8388608"), 1);
        EXPECT_EQ(f.headers_added, c.range
                                       ? std::vector<std::string>{"Range: bytes=0-16383 536870912"}
                                       : std::vector<std::string>{});
    }
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
        ASSERT_TRUE(begin_get(s, "https://h/x", nullptr, &x) == GetStep::DONE);
        uint32_t status = 0;
        ASSERT_EQ(send_get(&x, &status), GetStep::DONE);
        EXPECT_EQ(query_content_length(&x), c.expected);
        end_get(&x);
        close_session(s);
    }
}

}  // namespace
