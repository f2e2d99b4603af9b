// Runs one GET per URL through the program's transport and prints one line
// per URL for the conformance runner:
//   url=U begin=0|1 send=0|1 status=N length=N body=N end=end|fail|cap|none ms=N fnv=H head=HEX
//   fail=CAUSE
// status is -1 when the status query fails; end is "none" when no body was
// read (begin or send failed); fail is the platform's failure taken right
// after the first failed step ("none" when no call failed).
//
// transport_probe [--profile probe|download] [--range] [--cap BYTES] [--session 0|1]
//                 [--pace MS] URL...
// --cap, --session and --pace may also stand between URLs and hold for the
// URLs after them; session 1 is a second session with the same profile;
// --pace waits MS before each read, so the server stays ahead of the reader.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "net/https.h"
#include "platform/platform.h"

namespace {

unsigned char g_buffer[65536];

// In HttpFailure's order.
const char* const FAILURE_NAMES[] = {
    "none",        "dns", "refused",           "timeout",  "tls_untrusted", "tls_name",
    "tls_version", "tls", "insecure_redirect", "transfer", "other",
};
static_assert(sizeof FAILURE_NAMES / sizeof FAILURE_NAMES[0] ==
                  static_cast<size_t>(HttpFailure::OTHER) + 1,
              "one name per cause");

void run_one(HttpsSession session, const char* url, bool range, uint64_t cap, unsigned pace_ms) {
    const PlatformOps& p = platform();
    (void)p.http_take_failure();
    uint64_t start = p.tick_count_ms();
    HttpsExchange exchange{};
    bool begun =
        begin_get(session, url, range ? PROBE_RANGE_HEADER : nullptr, &exchange) == GetStep::DONE;
    // Before the status query below, which fails too after a failed send.
    HttpFailure failure = p.http_take_failure();
    bool sent = false;
    long long status = -1;
    uint32_t length = 0;
    uint64_t body = 0;
    uint64_t fnv = 1469598103934665603ull;
    char head[33] = "";
    const char* ending = "none";
    if (begun) {
        uint32_t number = 0;
        sent = send_get(&exchange, &number) == GetStep::DONE;
        failure = p.http_take_failure();
        if (p.http_query_number(exchange.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                &number))
            status = number;
        if (sent) {
            length = query_content_length(&exchange);
            // An absent length fails its query; that is no failure here.
            (void)p.http_take_failure();
            for (;;) {
                if (body >= cap) {
                    ending = "cap";
                    break;
                }
                if (pace_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(pace_ms));
                uint32_t ready = 0;
                if (!data_available(&exchange, &ready)) {
                    ending = "fail";
                    break;
                }
                if (ready == 0) {
                    ending = "end";
                    break;
                }
                uint32_t want =
                    ready < sizeof g_buffer ? ready : static_cast<uint32_t>(sizeof g_buffer);
                uint32_t got = 0;
                if (!read_data(&exchange, g_buffer, want, &got)) {
                    ending = "fail";
                    break;
                }
                if (got == 0) {
                    ending = "end";
                    break;
                }
                for (uint32_t i = 0; i < got; ++i) {
                    if (body + i < 16) snprintf(head + 2 * (body + i), 3, "%02x", g_buffer[i]);
                    fnv = (fnv ^ g_buffer[i]) * 1099511628211ull;
                }
                body += got;
            }
        }
        if (strcmp(ending, "fail") == 0) failure = p.http_take_failure();
        end_get(&exchange);
    }
    uint64_t elapsed = p.tick_count_ms() - start;
    printf(
        "url=%s begin=%d send=%d status=%lld length=%lu body=%llu end=%s ms=%llu fnv=%016llx "
        "head=%s fail=%s\n",
        url, begun ? 1 : 0, sent ? 1 : 0, status, static_cast<unsigned long>(length),
        static_cast<unsigned long long>(body), ending, static_cast<unsigned long long>(elapsed),
        static_cast<unsigned long long>(fnv), head[0] != '\0' ? head : "-",
        FAILURE_NAMES[static_cast<size_t>(failure)]);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const TimeoutProfile* profile = &PROBE_TIMEOUTS;
    bool range = false;
    uint64_t cap = 256ull * 1024 * 1024;
    int first = 1;
    while (first < argc && strncmp(argv[first], "--", 2) == 0) {
        if (strcmp(argv[first], "--profile") == 0 && first + 1 < argc) {
            profile =
                strcmp(argv[first + 1], "download") == 0 ? &DOWNLOAD_TIMEOUTS : &PROBE_TIMEOUTS;
            first += 2;
        } else if (strcmp(argv[first], "--range") == 0) {
            range = true;
            first += 1;
        } else if (strcmp(argv[first], "--cap") == 0 || strcmp(argv[first], "--session") == 0 ||
                   strcmp(argv[first], "--pace") == 0) {
            break;
        } else {
            fprintf(stderr, "unknown option %s\n", argv[first]);
            return 2;
        }
    }
    if (first >= argc) {
        fprintf(stderr,
                "usage: transport_probe [--profile probe|download] [--range] [--cap N] "
                "[--session 0|1] [--pace MS] URL...\n");
        return 2;
    }
    HttpsSession sessions[2] = {open_session(*profile), NO_SESSION};
    if (!session_is_open(sessions[0])) {
        printf("session=0\n");
        return 1;
    }
    int current = 0;
    unsigned pace_ms = 0;
    for (int i = first; i < argc; ++i) {
        if (strcmp(argv[i], "--cap") == 0 && i + 1 < argc) {
            cap = strtoull(argv[++i], nullptr, 10);
        } else if (strcmp(argv[i], "--pace") == 0 && i + 1 < argc) {
            pace_ms = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else if (strcmp(argv[i], "--session") == 0 && i + 1 < argc) {
            current = strcmp(argv[++i], "1") == 0 ? 1 : 0;
            if (!session_is_open(sessions[current])) sessions[current] = open_session(*profile);
        } else {
            run_one(sessions[current], argv[i], range, cap, pace_ms);
        }
    }
    close_session(sessions[1]);
    close_session(sessions[0]);
    return 0;
}
