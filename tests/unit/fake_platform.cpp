#include "unit/fake_platform.h"

#include <sys/stat.h>

#include <cstring>
#include <iterator>
#include <memory>

#include "nodes/node_table.h"
#include "nodes/probe.h"
#include "unit/pe_builder.h"

namespace {

FakePlatform* g_fake = nullptr;

struct Handle {
    enum Kind { SESSION, CONNECTION, REQUEST } kind;
    std::string host;
    std::string path;
    FakeResponse* response = nullptr;
    FakeResponse fallback;
    size_t offset = 0;
    int session_number = 0;
    uint32_t head_ms = 0;  // HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, 0 unset
    bool closed = false;
};

std::vector<std::unique_ptr<Handle>> g_handles;

Handle* as(HttpHandle h) { return static_cast<Handle*>(h); }

HttpHandle new_handle(Handle::Kind kind) {
    g_handles.push_back(std::make_unique<Handle>());
    g_handles.back()->kind = kind;
    g_fake->live_handles++;
    return g_handles.back().get();
}

// Bytes of output the caller left in the stdout buffer, flushed here to
// count them; -1 when the output is no file.
int64_t held_output() {
    struct stat before {};
    struct stat after {};
    bool sized = fstat(fileno(stdout), &before) == 0;
    fflush(stdout);
    sized = sized && fstat(fileno(stdout), &after) == 0;
    return sized ? after.st_size - before.st_size : -1;
}

void console_begin() { g_fake->log.push_back("console begin"); }
bool console_is_own() { return g_fake->console_own; }
void discard_input() { g_fake->log.push_back("discard input"); }
void wait_for_enter() { g_fake->log.push_back("wait"); }
void console_end() {
    g_fake->held_at_console_end.push_back(held_output());
    g_fake->log.push_back("console end");
}
bool stderr_is_terminal() { return g_fake->stderr_terminal; }
void stdout_binary() { g_fake->log.push_back("stdout binary"); }

// A scripted step's result, noting its failure for the next take.
bool step(bool fails, const FakeResponse& response) {
    if (fails) g_fake->failure = response.failure;
    return !fails;
}

uint32_t get_temp_path(uint32_t capacity, char* buffer) {
    g_fake->log.push_back("temp");
    if (g_fake->temp_fails || g_fake->temp_dir.size() + 1 > capacity) return 0;
    memcpy(buffer, g_fake->temp_dir.c_str(), g_fake->temp_dir.size() + 1);
    return static_cast<uint32_t>(g_fake->temp_dir.size());
}

uint64_t tick() { return g_fake->clock_ms; }

void delete_file(const char* path) {
    g_fake->deleted.push_back(path);
    native_platform().delete_file(path);
}

int to_utf16(const char* text, char16_t* out, int capacity) {
    return native_platform().utf8_to_utf16(text, out, capacity);
}

FILE* open_held(const char* path) {
    g_fake->log.push_back("hold");
    FILE* file = fopen(path, "rb");
    g_fake->held_fd = file != nullptr ? fileno(file) : -1;
    return file;
}

SignatureVerdict check_signature(FILE*, const char*, const uint8_t*, uint32_t,
                                 SignerFacts* signer) {
    std::string subject =
        g_fake->subject.empty() ? pe_test::common_name(g_fake->signer) : g_fake->subject;
    bool named =
        g_fake->signature == SignatureVerdict::SIGNED && subject.size() <= sizeof signer->subject;
    signer->subject_length = named ? static_cast<uint32_t>(subject.size()) : 0;
    signer->revocation_unchecked = named && g_fake->revocation_unchecked;
    if (named) memcpy(signer->subject, subject.data(), subject.size());
    return g_fake->signature;
}

uintptr_t shell_open(const char* path) {
    g_fake->held_at_shell.push_back(held_output());
    struct stat held;
    g_fake->held_at_start.push_back(g_fake->held_fd >= 0 && fstat(g_fake->held_fd, &held) == 0);
    g_fake->opened.push_back(path);
    return g_fake->shell_result;
}

HttpHandle http_open(const char16_t* agent, uint32_t access) {
    g_fake->log.push_back("open " + narrow(agent) + " " + std::to_string(access));
    if (g_fake->open_refusals > 0) {
        g_fake->open_refusals--;
        return nullptr;
    }
    if (g_fake->opens_allowed == 0) return nullptr;
    if (g_fake->opens_allowed > 0) g_fake->opens_allowed--;
    int number = 1;
    for (const auto& h : g_handles)
        if (h->kind == Handle::SESSION) ++number;
    HttpHandle s = new_handle(Handle::SESSION);
    as(s)->session_number = number;
    return s;
}

const char* const HANDLE_KINDS[] = {"session", "connection", "request"};

bool http_set_option(HttpHandle handle, uint32_t option, uint32_t value) {
    g_fake->log.push_back(std::string("option ") + HANDLE_KINDS[as(handle)->kind] + " " +
                          std::to_string(option) + " " + std::to_string(value));
    if (g_fake->options_fail) return false;
    if (option == HTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT) as(handle)->head_ms = value;
    return true;
}

HttpHandle http_connect(HttpHandle session, const char16_t* host, uint16_t port) {
    g_fake->held_at_connect.push_back(held_output());
    std::string h = narrow(host);
    g_fake->log.push_back("connect " + h + ":" + std::to_string(port));
    if (session == nullptr) {
        g_fake->failure = HttpFailure::OTHER;
        return nullptr;
    }
    bool any = false;
    for (auto& [key, response] : g_fake->responses)
        if (key.compare(0, h.size() + 1, h + "/") == 0 || key == h) {
            any = true;
            if (!step(response.connect_fails, response)) return nullptr;
        }
    if (!any) {  // no such host: unreachable
        g_fake->failure = HttpFailure::DNS;
        return nullptr;
    }
    HttpHandle c = new_handle(Handle::CONNECTION);
    as(c)->host = h;
    return c;
}

HttpHandle http_open_request(HttpHandle connection, const char16_t* verb, const char16_t* path,
                             uint32_t flags) {
    Handle* c = as(connection);
    std::string p = narrow(path);
    g_fake->log.push_back("request " + narrow(verb) + " " + p + " " + std::to_string(flags));
    auto it = g_fake->responses.find(c->host + p);
    FakeResponse* response = nullptr;
    if (it != g_fake->responses.end()) response = &it->second;
    if (response != nullptr && !step(response->open_request_fails, *response)) return nullptr;
    HttpHandle r = new_handle(Handle::REQUEST);
    as(r)->host = c->host;
    as(r)->path = p;
    if (response == nullptr) {
        as(r)->fallback.status = 404;
        response = &as(r)->fallback;
    }
    as(r)->response = response;
    return r;
}

bool http_add_headers(HttpHandle request, const char16_t* header, uint32_t flags) {
    g_fake->headers_added.push_back(narrow(header) + " " + std::to_string(flags));
    return step(as(request)->response->add_headers_fails, *as(request)->response);
}

bool http_send(HttpHandle request) {
    g_fake->log.push_back("send");
    return step(as(request)->response->send_fails, *as(request)->response);
}

bool http_receive(HttpHandle request) {
    const Handle* h = as(request);
    const FakeResponse& r = *h->response;
    bool late = r.head_bounded && h->head_ms != 0 && r.latency_ms > h->head_ms;
    g_fake->clock_ms += late ? h->head_ms : r.latency_ms;
    if (late) {
        g_fake->failure = HttpFailure::TIMEOUT;
        return false;
    }
    return step(r.receive_fails, r);
}

bool http_query(HttpHandle request, uint32_t query, uint32_t* value) {
    FakeResponse* r = as(request)->response;
    if (query == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        if (!r->status_query_fails) *value = r->status;
        return step(r->status_query_fails, *r);
    }
    if (query == (HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER)) {
        int64_t length =
            r->content_length == -2 ? static_cast<int64_t>(r->body.size()) : r->content_length;
        if (length < 0) return step(true, *r);
        *value = static_cast<uint32_t>(length);
        return true;
    }
    return false;
}

bool http_available(HttpHandle request, uint32_t* count) {
    Handle* h = as(request);
    FakeResponse* r = h->response;
    if (r->break_after >= 0 && h->offset >= static_cast<size_t>(r->break_after))
        return step(true, *r);
    if (r->report_available >= 0) {
        *count = static_cast<uint32_t>(r->report_available);
        return true;
    }
    size_t rest = r->body.size() - h->offset;
    if (r->chunk != 0 && rest > r->chunk) rest = r->chunk;
    *count = static_cast<uint32_t>(rest);
    return true;
}

bool http_read(HttpHandle request, void* buffer, uint32_t max, uint32_t* read) {
    Handle* h = as(request);
    FakeResponse* r = h->response;
    g_fake->reads_asked.push_back(max);
    auto pace = r->read_ms.upper_bound(h->offset);
    if (pace != r->read_ms.begin()) g_fake->clock_ms += std::prev(pace)->second;
    if (h->offset >= r->clock_back.first) {
        g_fake->clock_ms -= r->clock_back.second;
        r->clock_back.first = SIZE_MAX;
    }
    size_t rest = r->body.size() - h->offset;
    size_t n = rest < max ? rest : max;
    if (r->chunk != 0 && n > r->chunk) n = r->chunk;
    memcpy(buffer, r->body.data() + h->offset, n);
    h->offset += n;
    *read = static_cast<uint32_t>(n);
    return true;
}

void http_close(HttpHandle handle) {
    Handle* h = as(handle);
    std::string entry = std::string("close ") + HANDLE_KINDS[h->kind];
    if (h->kind == Handle::SESSION) entry += " " + std::to_string(h->session_number);
    g_fake->log.push_back(entry);
    if (h->kind == Handle::REQUEST) {
        g_fake->clock_ms += h->response->close_ms;
        if (h->response->on_close) h->response->on_close();
    }
    // Closing twice is a fault the tests must see.
    EXPECT_FALSE(h->closed) << "handle closed twice";
    h->closed = true;
    g_fake->live_handles--;
}

HttpFailure http_take_failure() {
    HttpFailure failure = g_fake->failure;
    g_fake->failure = HttpFailure::NONE;
    return failure;
}

const PlatformOps FAKE_OPS = {
    .console_begin = console_begin,
    .console_is_own = console_is_own,
    .discard_input = discard_input,
    .wait_for_enter = wait_for_enter,
    .console_end = console_end,
    .stderr_is_terminal = stderr_is_terminal,
    .stdout_binary = stdout_binary,
    .get_temp_path = get_temp_path,
    .tick_count_ms = tick,
    .delete_file = delete_file,
    .utf8_to_utf16 = to_utf16,
    .open_held = open_held,
    .check_signature = check_signature,
    .shell_open = shell_open,
    .http_open = http_open,
    .http_set_option = http_set_option,
    .http_connect = http_connect,
    .http_open_request = http_open_request,
    .http_add_headers = http_add_headers,
    .http_send_request = http_send,
    .http_receive_response = http_receive,
    .http_query_number = http_query,
    .http_query_data_available = http_available,
    .http_read_data = http_read,
    .http_close_handle = http_close,
    .http_take_failure = http_take_failure,
};

}  // namespace

std::string narrow(const char16_t* text) {
    std::string out;
    for (; *text != 0; ++text) {
        char32_t c = *text;
        if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(text[1]) - 0xDC00);
            ++text;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<std::string> candidate_urls(const char* version, const char* file_name) {
    ReleaseInfo release{};
    snprintf(release.version, sizeof release.version, "%s", version);
    snprintf(release.file_name, sizeof release.file_name, "%s", file_name);
    NodeTable table{};
    build_candidates(&table, release);
    std::vector<std::string> urls;
    for (int i = 0; i < table.count; ++i) urls.push_back(table.entries[i].url);
    return urls;
}

std::string probe_lines(const std::vector<int64_t>& latencies_ms) {
    std::string out;
    for (size_t i = 0; i < latencies_ms.size(); ++i) {
        char line[128];
        const char* label = NODE_LABELS[i];
        if (latencies_ms[i] == UNREACHABLE)
            snprintf(line, sizeof line, PROBE_LINE_UNREACHABLE, label, "-");
        else
            snprintf(line, sizeof line, PROBE_LINE_REACHABLE, label,
                     static_cast<uint32_t>(latencies_ms[i]));
        out += line;
    }
    return out;
}

FakePlatform::FakePlatform() {
    g_fake = this;
    g_handles.clear();
    platform_install(&FAKE_OPS);
}

FakePlatform::~FakePlatform() {
    platform_install(nullptr);
    g_handles.clear();
    g_fake = nullptr;
}

FakePlatform& fake() { return *g_fake; }

FakeResponse& FakePlatform::at(const std::string& url) {
    std::string key = url;
    size_t scheme = key.find("://");
    if (scheme != std::string::npos) key = key.substr(scheme + 3);
    return responses[key];
}

int FakePlatform::count(const std::string& entry) const {
    int n = 0;
    for (const auto& line : log)
        if (line.compare(0, entry.size(), entry) == 0) ++n;
    return n;
}
