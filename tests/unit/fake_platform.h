// A scripted platform for unit tests: HTTP responses by URL, a manual clock,
// a temporary directory and a shell whose answers the test chooses; every
// call is logged so tests can assert on order and handle lifetimes. Sessions
// are numbered in the order they were opened ("close session 2").
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeResponse {
    // Failure switches, by step.
    bool connect_fails = false;
    bool open_request_fails = false;
    bool add_headers_fails = false;
    bool send_fails = false;
    bool receive_fails = false;
    bool status_query_fails = false;
    uint32_t status = 200;
    // Content-Length: the body's size unless set; -1 means absent.
    int64_t content_length = -2;
    std::string body;
    // Largest count one data_available reports (0: the whole rest).
    uint32_t chunk = 0;
    // The body breaks (data_available fails) once this many bytes were read.
    int64_t break_after = -1;
    // What data_available reports, regardless of the body, when set.
    int64_t report_available = -1;
    // Milliseconds the fake clock moves during receive, and while the
    // request is closed.
    uint32_t latency_ms = 0;
    uint32_t close_ms = 0;
    // Receive times out, as WinHTTP's does, once latency_ms passes the
    // request's head option; unset, the latency only moves the clock.
    bool head_bounded = false;
    // Milliseconds the clock moves on each read, from each body offset on.
    std::map<size_t, uint32_t> read_ms;
    // Once the body reaches this offset, the clock steps back this far (a
    // clock that is not monotonic); none by default.
    std::pair<size_t, uint64_t> clock_back = {SIZE_MAX, 0};
    // What http_take_failure gives after a scripted step failed.
    HttpFailure failure = HttpFailure::OTHER;
    // Runs as each request for this response closes.
    std::function<void()> on_close;
};

struct FakePlatform {
    std::map<std::string, FakeResponse> responses;  // by "host" + "path"
    std::vector<std::string> log;
    int live_handles = 0;
    int open_refusals = 0;   // http_open returns null this many times first
    int opens_allowed = -1;  // then null once this many succeeded (-1: no bound)
    uint64_t clock_ms = 1000;
    std::string temp_dir = "/tmp/fake/";
    bool temp_fails = false;
    uintptr_t shell_result = 42;
    SignatureVerdict signature = SignatureVerdict::SIGNED;  // what check_signature says
    std::string signer;   // the signer's common name it gives, when `subject` is empty
    std::string subject;  // else the signer's subject, as DER
    bool revocation_unchecked = false;  // its status not fetched, said when SIGNED
    int held_fd = -1;                   // the descriptor of the last file held
    std::vector<bool> held_at_start;    // whether it was still open at each shell "open"
    bool console_own = false;           // what console_is_own answers
    bool stderr_terminal = false;       // what stderr_is_terminal answers
    std::vector<std::string> deleted;
    std::vector<std::string> opened;  // shell "open" calls
    // http_set_option logs "option <handle kind> <number> <value>", then
    // returns false when this is set.
    bool options_fail = false;
    std::vector<std::string> headers_added;
    std::vector<uint32_t> reads_asked;  // max count of each read
    // Bytes of output still in the stdout buffer at each connect (-1: unknown).
    std::vector<int64_t> held_at_connect;
    std::vector<int64_t> held_at_shell;  // and at each shell "open"
    std::vector<int64_t> held_at_console_end;
    HttpFailure failure = HttpFailure::NONE;  // until the next take

    FakePlatform();
    ~FakePlatform();
    FakeResponse& at(const std::string& url);  // "https://host/path"
    int count(const std::string& entry) const;
};

FakePlatform& fake();

// Converts UTF-16 to UTF-8 for assertions.
std::string narrow(const char16_t* text);

// The URLs stage 2 builds for a release of this version and file name, in
// its order: the program's own candidates.
std::vector<std::string> candidate_urls(const char* version, const char* file_name);

// Stage 2's lines, by the program's own format, for the slots from A on with
// these latencies; UNREACHABLE for a node whose probe failed.
inline constexpr int64_t UNREACHABLE = -1;
std::string probe_lines(const std::vector<int64_t>& latencies_ms);

// Runs `fn` with standard output captured; returns what it printed.
template <typename F>
std::string capture_stdout(F fn);

#include <gtest/gtest.h>
template <typename F>
std::string capture_stdout(F fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
