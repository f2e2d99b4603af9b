#include "publish/check.h"

#include <cstdio>
#include <cstring>

#include "fetch/download.h"
#include "fetch/sha256.h"
#include "net/https.h"
#include "nodes/probe.h"
#include "platform/console_stream.h"
#include "platform/platform.h"

namespace {

constexpr int TEMP_CAPACITY = 261;
constexpr int PATH_CAPACITY = 540;

bool same_release(const ReleaseInfo& a, const ReleaseInfo& b) {
    if (strcmp(a.version, b.version) != 0 || strcmp(a.file_name, b.file_name) != 0) return false;
    if (a.size != b.size) return false;
    // The installer compares digests without regard to case.
    for (int i = 0; i < SHA256_HEX_LENGTH; ++i) {
        char x = a.sha256_hex[i] | 0x20;
        char y = b.sha256_hex[i] | 0x20;
        if (x != y) return false;
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

void fetch_mirrors(HttpsSession session, CheckResult* result) {
    result->chosen = -1;
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        MirrorResult& m = result->mirrors[i];
        m.url = MANIFEST_URLS[i];
        m.skipped = m.url[0] == '\0';
        if (m.skipped) continue;
        m.accepted = try_mirror(session, m.url, &m.release, &m.attempt);
        if (m.accepted && result->chosen < 0) result->chosen = i;
    }
    if (result->chosen >= 0) {
        result->release = result->mirrors[result->chosen].release;
        result->source_label = source_label_for(MANIFEST_URLS[result->chosen]);
    } else {
        result->release = BUILTIN_RELEASE;
        result->source_label = BUILTIN_LABEL;
    }
    result->newest_version = result->release.version;
    for (const MirrorResult& m : result->mirrors)
        if (m.accepted && compare_versions(m.release.version, result->newest_version) > 0)
            result->newest_version = m.release.version;
    for (MirrorResult& m : result->mirrors) {
        if (!m.accepted) continue;
        m.lags = compare_versions(m.release.version, result->newest_version) < 0;
        m.disagrees = !same_release(m.release, result->release);
    }
    result->builtin_older = compare_versions(BUILTIN_RELEASE.version, result->newest_version) < 0;
}

DownloadVerdict verdict_of(DownloadEnd end) {
    switch (end) {
        case DownloadEnd::COMPLETE: return DownloadVerdict::GOOD;
        case DownloadEnd::EXCHANGE_FAILED: return DownloadVerdict::EXCHANGE_FAILED;
        case DownloadEnd::WRONG_LENGTH:
        case DownloadEnd::WRONG_SIZE: return DownloadVerdict::WRONG_SIZE;
        case DownloadEnd::NO_FILE: return DownloadVerdict::NO_FILE;
        case DownloadEnd::TRANSFER_FAILED: return DownloadVerdict::TRANSFER_FAILED;
        case DownloadEnd::TOO_LONG: return DownloadVerdict::TOO_LONG;
        case DownloadEnd::SLOW: return DownloadVerdict::SLOW;
    }
    return DownloadVerdict::TRANSFER_FAILED;
}

// Through the installer's own attempt, judged as if another node remained:
// every node is downloaded, and one the installer would give up is a problem.
void download_node(HttpsSession session, const NodeEntry& node, const ReleaseInfo& release,
                   const char* path, DownloadResult* out) {
    *out = {DownloadVerdict::GOOD, GetStep::DONE, 0, 0, ""};
    const bool terminal = stderr_is_terminal();
    DownloadRules rules = {true, terminal ? stderr : nullptr};
    DownloadAttempt attempt;
    bool complete = download_from_node(session, node, release.size, path, rules, &attempt);
    if (terminal) fputc('\n', stderr);
    out->verdict = verdict_of(attempt.end);
    out->step = attempt.step;
    out->status = attempt.status;
    out->bytes = attempt.written;
    if (complete) {
        uint64_t digested = 0;
        (void)sha256_file_measured(path, out->sha256_hex, &digested);
        ReleaseInfo got = release;
        snprintf(got.sha256_hex, sizeof got.sha256_hex, "%s", out->sha256_hex);
        if (digested != release.size)
            out->verdict = DownloadVerdict::WRONG_SIZE;
        else if (!same_release(got, release))
            out->verdict = DownloadVerdict::WRONG_DIGEST;
    }
    platform().delete_file(path);
}

int count_problems(const CheckResult& r) {
    int problems = 0;
    for (const MirrorResult& m : r.mirrors)
        if (!m.skipped && (!m.accepted || m.lags || m.disagrees)) ++problems;
    if (r.chosen < 0) ++problems;
    for (int i = 0; i < r.nodes.count; ++i) {
        if (r.nodes.entries[i].reachable == 0) ++problems;
        DownloadVerdict v = r.downloads[i].verdict;
        if (v != DownloadVerdict::NOT_TRIED && v != DownloadVerdict::GOOD) ++problems;
    }
    return problems;
}

}  // namespace

int compare_versions(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        if (is_digit(*a) && is_digit(*b)) {
            while (*a == '0') ++a;
            while (*b == '0') ++b;
            const char* a_end = a;
            const char* b_end = b;
            while (is_digit(*a_end)) ++a_end;
            while (is_digit(*b_end)) ++b_end;
            if (a_end - a != b_end - b) return a_end - a < b_end - b ? -1 : 1;
            int order = strncmp(a, b, static_cast<size_t>(a_end - a));
            if (order != 0) return order < 0 ? -1 : 1;
            a = a_end;
            b = b_end;
            continue;
        }
        if (*a != *b)
            return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
        ++a;
        ++b;
    }
    if (*a == *b) return 0;
    return *a == '\0' ? -1 : 1;
}

bool run_check(bool download, CheckResult* result) {
    *result = CheckResult{};
    char temp_dir[TEMP_CAPACITY];
    char path[PATH_CAPACITY];
    if (download) {
        if (platform().get_temp_path(TEMP_CAPACITY, temp_dir) == 0) {
            fprintf(stderr, "varnel-release: no temporary directory\n");
            return false;
        }
        snprintf(path, sizeof path, "%svarnel-release-check.part", temp_dir);
    }
    HttpsSession probe_session = open_session(PROBE_TIMEOUTS);
    if (probe_session == nullptr) {
        fprintf(stderr, "varnel-release: cannot open an HTTP session\n");
        return false;
    }
    fetch_mirrors(probe_session, result);
    build_candidates(&result->nodes, result->release);
    for (int i = 0; i < result->nodes.count; ++i)
        probe_node(probe_session, &result->nodes.entries[i]);
    rank_nodes(&result->nodes);
    if (download) {
        result->downloaded = true;
        HttpsSession download_session = open_session(DOWNLOAD_TIMEOUTS);
        for (int i = 0; i < result->nodes.count; ++i)
            if (result->nodes.entries[i].reachable != 0)
                download_node(download_session, result->nodes.entries[i], result->release, path,
                              &result->downloads[i]);
        close_session(download_session);
    }
    close_session(probe_session);
    result->problems = count_problems(*result);
    return true;
}

const char* get_step_text(GetStep step) {
    switch (step) {
        case GetStep::DONE: return "done";
        case GetStep::CONNECT: return "connect";
        case GetStep::OPEN_REQUEST: return "open request";
        case GetStep::ADD_HEADER: return "add header";
        case GetStep::SEND: return "send";
        case GetStep::RECEIVE: return "receive";
        case GetStep::STATUS_QUERY: return "status query";
        case GetStep::STATUS: return "status";
    }
    return "unknown";
}
