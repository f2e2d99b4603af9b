// The libcurl stand-in without a server: handle bookkeeping, refused steps,
// option storage, the port rule and proxy choice. Sockets are loopback only.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "posix/clock.h"
#include "posix/http.h"
#include "unit/env_guard.h"

namespace {

// Clears every proxy variable libcurl reads, restoring them afterwards.
struct NoProxyEnv {
    EnvGuard guards[6] = {EnvGuard("https_proxy"), EnvGuard("HTTPS_PROXY"), EnvGuard("all_proxy"),
                          EnvGuard("ALL_PROXY"),   EnvGuard("no_proxy"),    EnvGuard("NO_PROXY")};
    NoProxyEnv() {
        for (auto& g : guards) unsetenv(g.name.c_str());
    }
};

// A loopback TCP listener on an ephemeral port that accepts nothing by
// itself: the kernel completes connections into its backlog.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd >= 0) close(fd);
    }
    // What a client sent, if one connected.
    bool took_connection(std::string* first_bytes) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) return false;
        char buf[256];
        ssize_t n = recv(c, buf, sizeof buf - 1, MSG_DONTWAIT);
        if (first_bytes != nullptr) first_bytes->assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
        close(c);
        return true;
    }
};

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Any agent: what the stand-in sends is the caller's.
const char16_t AGENT[] = u"test-agent/1";

class PosixHttp : public ::testing::Test {
  protected:
    void SetUp() override { base_ = posix_http_live_handles(); }
    void TearDown() override {
        EXPECT_EQ(posix_http_live_handles(), base_) << "a handle was left open";
    }
    int base_ = 0;
};

TEST_F(PosixHttp, EveryHandleKindCountsUntilClosedOnce) {
    HttpHandle s = posix_http_open(AGENT, HTTP_ACCESS_AUTOMATIC_PROXY);
    ASSERT_NE(s, nullptr);
    HttpHandle c = posix_http_connect(s, u"127.0.0.1", HTTPS_PORT);
    ASSERT_NE(c, nullptr);
    HttpHandle r = posix_http_open_request(c, u"GET", u"/", HTTP_FLAG_SECURE);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(posix_http_live_handles(), base_ + 3);
    // Parents may go first, as WinHTTP allows.
    posix_http_close_handle(s);
    posix_http_close_handle(c);
    EXPECT_EQ(posix_http_live_handles(), base_ + 1);
    posix_http_close_handle(r);
    EXPECT_EQ(posix_http_live_handles(), base_);
    // A second close, a null and a foreign pointer are ignored.
    int foreign = 0;
    posix_http_close_handle(r);
    posix_http_close_handle(nullptr);
    posix_http_close_handle(&foreign);
    EXPECT_EQ(posix_http_live_handles(), base_);
}

TEST_F(PosixHttp, RefusedOpenConnectAndRequest) {
    EXPECT_EQ(posix_http_open(u"a", 3), nullptr) << "named proxy without a name";
    EXPECT_EQ(posix_http_open(nullptr, HTTP_ACCESS_NO_PROXY), nullptr);
    EXPECT_EQ(posix_http_connect(nullptr, u"127.0.0.1", HTTPS_PORT), nullptr);
    HttpHandle s = posix_http_open(AGENT, HTTP_ACCESS_NO_PROXY);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(posix_http_connect(s, u"", HTTPS_PORT), nullptr);
    EXPECT_EQ(posix_http_connect(s, u"127.0.0.1", 80), nullptr);
    HttpHandle c = posix_http_connect(s, u"127.0.0.1", HTTPS_PORT);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(posix_http_connect(c, u"127.0.0.1", HTTPS_PORT), nullptr)
        << "a connection is no session";
    EXPECT_EQ(posix_http_open_request(s, u"GET", u"/", HTTP_FLAG_SECURE), nullptr);
    EXPECT_EQ(posix_http_open_request(c, u"POST", u"/", HTTP_FLAG_SECURE), nullptr);
    EXPECT_EQ(posix_http_open_request(c, u"GET", u"/", 0), nullptr) << "plain http";
    posix_http_close_handle(c);
    posix_http_close_handle(s);
}

TEST_F(PosixHttp, StepsOutOfOrderFail) {
    HttpHandle s = posix_http_open(AGENT, HTTP_ACCESS_NO_PROXY);
    HttpHandle c = posix_http_connect(s, u"127.0.0.1", HTTPS_PORT);
    HttpHandle r = posix_http_open_request(c, u"GET", u"/x", HTTP_FLAG_SECURE);
    ASSERT_NE(r, nullptr);
    uint32_t value = 7;
    char buf[8];
    EXPECT_FALSE(posix_http_receive_response(r)) << "receive before send";
    EXPECT_FALSE(
        posix_http_query_number(r, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value));
    EXPECT_FALSE(posix_http_query_data_available(r, &value));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(posix_http_read_data(r, buf, sizeof buf, &value));
    EXPECT_FALSE(
        posix_http_query_number(c, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value));
    EXPECT_FALSE(posix_http_add_headers(c, u"Range: bytes=0-1", HTTP_ADDREQ_FLAG_ADD));
    EXPECT_FALSE(posix_http_add_headers(r, u"no colon here", HTTP_ADDREQ_FLAG_ADD));
    EXPECT_TRUE(posix_http_add_headers(r, u"Range: bytes=0-16383", HTTP_ADDREQ_FLAG_ADD));
    posix_http_close_handle(r);
    posix_http_close_handle(c);
    posix_http_close_handle(s);
}

TEST_F(PosixHttp, OptionsOnSessionsOnly) {
    HttpHandle s = posix_http_open(AGENT, HTTP_ACCESS_NO_PROXY);
    ASSERT_NE(s, nullptr);
    struct Case {
        uint32_t option, value;
        bool ok;
    } cases[] = {
        {HTTP_OPTION_RESOLVE_TIMEOUT, 3000, true},
        {HTTP_OPTION_CONNECT_TIMEOUT, 4000, true},
        {HTTP_OPTION_SEND_TIMEOUT, 3000, true},
        {HTTP_OPTION_RECEIVE_TIMEOUT, 3000, true},
        {HTTP_OPTION_SECURE_PROTOCOLS, HTTP_PROTOCOL_TLS1_1 | HTTP_PROTOCOL_TLS1_2, true},
        {HTTP_OPTION_SECURE_PROTOCOLS, 0x08, false},  // SSL 2 only: nothing left
        {88, 1, false},                               // an option not provided
    };
    for (const Case& k : cases)
        EXPECT_EQ(posix_http_set_option(s, k.option, k.value), k.ok)
            << "option " << k.option << " value " << k.value;
    HttpHandle c = posix_http_connect(s, u"127.0.0.1", HTTPS_PORT);
    EXPECT_FALSE(posix_http_set_option(c, HTTP_OPTION_RECEIVE_TIMEOUT, 1000));
    EXPECT_FALSE(posix_http_set_option(nullptr, HTTP_OPTION_RECEIVE_TIMEOUT, 1000));
    posix_http_close_handle(c);
    posix_http_close_handle(s);
}

// The one handshake fault the test world does not stage; every other cause
// is a conformance case's fail=.
TEST(PosixHttpFailure, AnExpiredCertificateIsAFailedHandshake) {
    EXPECT_EQ(posix_failure_cause(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_HAS_EXPIRED,
                                  false, false),
              HttpFailure::TLS);
}

TEST_F(PosixHttp, TakeGivesTheLastFailureOnceAndClosesAndSuccessesKeepIt) {
    HttpHandle s = posix_http_open(AGENT, HTTP_ACCESS_NO_PROXY);
    HttpHandle c = posix_http_connect(s, u"127.0.0.1", HTTPS_PORT);
    HttpHandle r = posix_http_open_request(c, u"GET", u"/x", HTTP_FLAG_SECURE);
    ASSERT_NE(r, nullptr);
    (void)posix_http_take_failure();
    EXPECT_EQ(posix_http_take_failure(), HttpFailure::NONE);
    EXPECT_FALSE(posix_http_add_headers(r, u"no colon here", HTTP_ADDREQ_FLAG_ADD));
    EXPECT_TRUE(posix_http_add_headers(r, u"Range: bytes=0-16383", HTTP_ADDREQ_FLAG_ADD));
    posix_http_close_handle(r);
    EXPECT_EQ(posix_http_take_failure(), HttpFailure::OTHER);
    EXPECT_EQ(posix_http_take_failure(), HttpFailure::NONE);
    posix_http_close_handle(c);
    posix_http_close_handle(s);
}

// Runs send on a fresh request to `host` and reports how long it took and
// the failure taken right after the failed step.
bool send_to(uint32_t access, const char16_t* host, uint32_t connect_ms, uint64_t* elapsed,
             HttpFailure* failure = nullptr) {
    HttpHandle s = posix_http_open(AGENT, access);
    (void)posix_http_set_option(s, HTTP_OPTION_RESOLVE_TIMEOUT, 1000);
    (void)posix_http_set_option(s, HTTP_OPTION_CONNECT_TIMEOUT, connect_ms);
    (void)posix_http_set_option(s, HTTP_OPTION_SEND_TIMEOUT, 1000);
    (void)posix_http_set_option(s, HTTP_OPTION_RECEIVE_TIMEOUT, 1000);
    HttpHandle c = posix_http_connect(s, host, HTTPS_PORT);
    HttpHandle r = posix_http_open_request(c, u"GET", u"/", HTTP_FLAG_SECURE);
    (void)posix_http_take_failure();
    uint64_t start = posix_now_ms();
    bool sent = posix_http_send_request(r);
    bool received = sent && posix_http_receive_response(r);
    *elapsed = posix_now_ms() - start;
    if (failure != nullptr) *failure = posix_http_take_failure();
    uint32_t n = 0;
    EXPECT_FALSE(posix_http_query_data_available(r, &n)) << "a body after a failed exchange";
    posix_http_close_handle(r);
    posix_http_close_handle(c);
    posix_http_close_handle(s);
    return received;
}

TEST_F(PosixHttp, RefusedConnectionFailsAtOnce) {
    NoProxyEnv env;
    uint64_t elapsed = 0;
    HttpFailure failure = HttpFailure::NONE;
    // Nothing listens on loopback port 443 outside a test's namespace.
    EXPECT_FALSE(send_to(HTTP_ACCESS_AUTOMATIC_PROXY, u"127.0.0.1", 4000, &elapsed, &failure));
    EXPECT_LT(elapsed, 1000u);
    EXPECT_EQ(failure, HttpFailure::REFUSED);
}

TEST_F(PosixHttp, PortSuffixIsPartOfTheNameNotAPort) {
    NoProxyEnv env;
    Listener listener;
    ASSERT_NE(listener.port, 0);
    const std::u16string hosts[] = {u"127.0.0.1:" + u16(std::to_string(listener.port)),
                                    u"user@127.0.0.1", u"127.0.0.1 "};
    for (const auto& host : hosts) {
        uint64_t elapsed = 0;
        HttpFailure failure = HttpFailure::NONE;
        EXPECT_FALSE(send_to(HTTP_ACCESS_NO_PROXY, host.c_str(), 4000, &elapsed, &failure))
            << std::string(host.begin(), host.end());
        EXPECT_EQ(failure, HttpFailure::DNS) << std::string(host.begin(), host.end());
        EXPECT_FALSE(listener.took_connection(nullptr)) << std::string(host.begin(), host.end());
    }
}

TEST_F(PosixHttp, AutomaticAccessUsesTheProxyVariableDirectAccessDoesNot) {
    NoProxyEnv env;
    Listener proxy;
    ASSERT_NE(proxy.port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(proxy.port);
    setenv("https_proxy", url.c_str(), 1);
    uint64_t elapsed = 0;

    EXPECT_FALSE(send_to(HTTP_ACCESS_NO_PROXY, u"127.0.0.1", 800, &elapsed));
    EXPECT_FALSE(proxy.took_connection(nullptr)) << "direct access went to the proxy";

    // The proxy takes the connection and never answers the tunnel request:
    // connecting is bounded by the connect time.
    HttpFailure failure = HttpFailure::NONE;
    EXPECT_FALSE(send_to(HTTP_ACCESS_AUTOMATIC_PROXY, u"127.0.0.1", 800, &elapsed, &failure));
    EXPECT_EQ(failure, HttpFailure::TIMEOUT);
    std::string request;
    EXPECT_TRUE(proxy.took_connection(&request));
    EXPECT_EQ(request.rfind("CONNECT 127.0.0.1:443 HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("User-Agent: test-agent/1\r\n"), std::string::npos) << request;
    EXPECT_GE(elapsed, 700u);
    EXPECT_LT(elapsed, 2000u);
}

}  // namespace
