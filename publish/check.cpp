#include "publish/check.h"

#include <cstdio>
#include <cstring>

#include "app/process.h"
#include "fetch/download.h"
#include "fetch/sha256.h"
#include "fetch/verify.h"
#include "net/https.h"
#include "nodes/probe.h"
#include "platform/platform.h"

namespace {

bool same_release(const ReleaseInfo& a, const ReleaseInfo& b) {
    if (strcmp(a.version, b.version) != 0 || strcmp(a.file_name, b.file_name) != 0) return false;
    return a.size == b.size && digests_match(a.sha256_hex, b.sha256_hex);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A failure the library names, else `fallback`.
Cause named_cause(HttpFailure failure, Cause fallback) {
    switch (failure) {
        case HttpFailure::DNS: return Cause::DNS;
        case HttpFailure::REFUSED: return Cause::REFUSED;
        case HttpFailure::TIMEOUT: return Cause::TIMEOUT;
        case HttpFailure::TLS_UNTRUSTED: return Cause::TLS_UNTRUSTED;
        case HttpFailure::TLS_NAME: return Cause::TLS_NAME;
        case HttpFailure::TLS_VERSION: return Cause::TLS_VERSION;
        case HttpFailure::TLS: return Cause::TLS;
        case HttpFailure::INSECURE_REDIRECT: return Cause::INSECURE_REDIRECT;
        case HttpFailure::TRANSFER: return Cause::TRANSFER;
        case HttpFailure::NONE:
        case HttpFailure::OTHER: break;
    }
    return fallback;
}

// A body that stopped early: what the library names, a break it could not
// name, or `unrecorded` when no HTTP call failed at all.
Cause body_cause(HttpFailure failure, Cause unrecorded) {
    return failure == HttpFailure::NONE ? unrecorded : named_cause(failure, Cause::TRANSFER);
}

// The stand-in answers an https-to-http redirect with the 3xx itself and
// names it as a failure, so a named failure comes before the status.
Cause exchange_cause(GetStep step, HttpFailure failure) {
    return named_cause(failure, step == GetStep::STATUS ? Cause::HTTP_STATUS : Cause::OTHER);
}

Cause mirror_cause(const MirrorOutcome* o, HttpFailure failure) {
    const MirrorAttempt& a = o->attempt;
    if (!o->tried || o->accepted) return Cause::OK;
    if (a.step != GetStep::DONE) return exchange_cause(a.step, failure);
    if (a.body_slow) return Cause::SLOW;
    if (a.body_failed)
        return a.received > MANIFEST_BODY_MAX ? Cause::TOO_LARGE
                                              : body_cause(failure, Cause::OTHER);
    return Cause::RULE;
}

void fetch_mirrors(HttpsSession session, const char* publisher, CheckResult* result) {
    const PlatformOps& p = platform();
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        (void)p.http_take_failure();
        (void)try_entry(session, i, publisher[0] != '\0', &g_mirror_outcomes[i]);
        MirrorResult& m = result->mirrors[i];
        m.url = MANIFEST_URLS[i];
        m.cause = mirror_cause(&g_mirror_outcomes[i], p.http_take_failure());
        m.outcome = g_mirror_outcomes[i];
    }
    choose_manifest(g_mirror_outcomes, &result->choice);
    const ReleaseInfo& chosen = result->choice.release;
    const char* newest = chosen.version;
    for (const MirrorResult& m : result->mirrors)
        if (m.outcome.accepted && compare_versions(m.outcome.release.version, newest) > 0)
            newest = m.outcome.release.version;
    snprintf(result->newest_version, sizeof result->newest_version, "%s", newest);
    for (MirrorResult& m : result->mirrors) {
        if (!m.outcome.accepted) continue;
        m.lags = compare_versions(m.outcome.release.version, result->newest_version) < 0;
        m.disagrees = !same_release(m.outcome.release, chosen);
    }
    result->builtin_older = compare_versions(BUILTIN_RELEASE.version, result->newest_version) < 0;
}

void probe_all(HttpsSession session, CheckResult* result) {
    const PlatformOps& p = platform();
    for (int i = 0; i < result->nodes.count; ++i) {
        NodeEntry& n = result->nodes.entries[i];
        // The probe's record travels with its entry through the ranking.
        (void)p.http_take_failure();
        ProbeAttempt probe;
        probe_node(session, &n, &probe);
        HttpFailure failure = p.http_take_failure();
        NodeResult& node_result = result->node_results[i];
        node_result = {};
        node_result.probe = probe;
        if (probe.step != GetStep::DONE)
            node_result.probe_cause = exchange_cause(probe.step, failure);
        else if (probe.body_failed)
            node_result.probe_cause = body_cause(failure, Cause::EMPTY_BODY);
        node_result.cause = node_result.probe_cause;
    }
}

// Ranks the table as stage 2 does, the probe records following their nodes.
void rank_with_results(CheckResult* r) {
    // The table and its results as probed, before the ranking moves them:
    // about 8 KiB, on the stack only while the ranking runs.
    const NodeTable unranked = r->nodes;
    NodeResult unranked_results[NODE_CAPACITY];
    memcpy(unranked_results, r->node_results, sizeof unranked_results);
    rank_nodes(&r->nodes);
    for (int i = 0; i < r->nodes.count; ++i)
        for (int j = 0; j < unranked.count; ++j)
            if (strcmp(unranked.entries[j].url, r->nodes.entries[i].url) == 0)
                r->node_results[i] = unranked_results[j];
}

Cause download_cause(const DownloadAttempt& a, HttpFailure failure) {
    switch (a.end) {
        case DownloadEnd::COMPLETE: return Cause::OK;
        case DownloadEnd::EXCHANGE_FAILED: return exchange_cause(a.step, failure);
        case DownloadEnd::WRONG_LENGTH:
        case DownloadEnd::WRONG_SIZE: return Cause::WRONG_SIZE;
        case DownloadEnd::NO_FILE:
        case DownloadEnd::WRITE_FAILED: return Cause::OTHER;
        case DownloadEnd::TRANSFER_FAILED: return body_cause(failure, Cause::OTHER);
        case DownloadEnd::TOO_LONG: return Cause::TOO_LARGE;
        case DownloadEnd::SLOW: return Cause::SLOW;
    }
    return Cause::OTHER;
}

// What the check's downloads share, as the installer's walk shares it.
struct Walk {
    const char* temp_dir;
    const char* publisher;
    // Every node cut off as if one remained behind it, none given up; the
    // fastest pace shared as the installer shares it.
    DownloadRules rules;
    // What the installer's walk would know: the nodes it would have given up.
    PaceStanding installer;
    // The slot whose file verified first, kept as the release's bytes; -1.
    int release_slot;
};

// The check's own file for the node in `slot`. A node's file is kept to the
// end when it verified first or was cut off, so the two can be compared.
void slot_path(const char* temp_dir, int slot, char (&out)[INSTALLER_PATH_CAPACITY]) {
    snprintf(out, sizeof out, "%svarnel-release-check-%d.part", temp_dir, slot + 1);
}

// The tool's own failure, on standard error: the download check stops at it.
ToolFault stop(ToolFault fault, const char* path) {
    const char* what = "cannot open an HTTP session for the downloads";
    if (fault == ToolFault::MAKE) what = "could not make its own file";
    if (fault == ToolFault::WRITE) what = "could not write its own file";
    if (fault == ToolFault::REREAD) what = "could not reread its own file";
    fprintf(stderr, "varnel-release: %s%s%s; the download check stops here, no node is to blame\n",
            what, path[0] != '\0' ? " " : "", path);
    return fault;
}

// A node cut off as if another remained, judged by the installer's rule with
// what really is behind it (`behind`): one it would give up is a problem.
void judge_cut_off(bool behind, Walk* walk, NodeResult* out) {
    PaceCheck as_installer = out->download.last_window;
    as_installer.standing.untried_behind = behind;
    as_installer.standing.given_up_bytes_per_s = walk->installer.given_up_bytes_per_s;
    out->slow_verdict = pace_verdict(as_installer);
    out->cut_off = CutOffBytes::NOT_COMPARED;
    if (out->slow_verdict == PaceVerdict::KEEP) {
        out->cause = Cause::SLOW_KEPT;
        return;
    }
    note_given_up(&walk->installer, out->download.last_window);
}

// The signature of a file of the release's bytes, as stage 4 judges it.
ToolFault check_signature(const char* path, const char* publisher, const char* version,
                          NodeResult* out) {
    FILE* held = platform().open_held(path);
    if (held == nullptr) return ToolFault::REREAD;
    if (!signed_by_publisher(held, path, publisher, version, &out->signature))
        out->cause = Cause::SIGNATURE;
    fclose(held);
    return ToolFault::NONE;
}

// Through the installer's own attempt, cut off as if another node remained,
// so no slow node holds the check. The tool's own failure is returned and
// leaves `out` untouched.
ToolFault download_node(HttpsSession session, const NodeEntry& node, const ReleaseInfo& release,
                        bool behind, const char* path, Walk* walk, NodeResult* out) {
    // Cut off as if a node remained behind: whether one does is `behind`,
    // which judge_cut_off applies to the window that cut it off.
    (void)platform().http_take_failure();
    DownloadAttempt d;
    bool complete = download_from_node(session, node, release.size, path, &walk->rules, &d);
    HttpFailure failure = platform().http_take_failure();
    FILE* progress = walk->rules.progress;
    if (progress != nullptr) {
        fputc('\n', progress);
        fflush(progress);
    }
    if (d.end == DownloadEnd::NO_FILE) return ToolFault::MAKE;
    if (d.end == DownloadEnd::WRITE_FAILED) return ToolFault::WRITE;
    char hex[SHA256_HEX_CAPACITY] = "";
    uint64_t digested = 0;
    if (complete && !sha256_file_measured(path, hex, &digested)) return ToolFault::REREAD;
    out->downloaded = true;
    out->download = d;
    out->cause = download_cause(d, failure);
    memcpy(out->sha256_hex, hex, sizeof hex);
    if (out->cause == Cause::SLOW) judge_cut_off(behind, walk, out);
    if (!complete) return ToolFault::NONE;
    if (digested != release.size)
        out->cause = Cause::WRONG_SIZE;
    else if (!digests_match(hex, release.sha256_hex))
        out->cause = Cause::WRONG_DIGEST;
    else if (walk->publisher[0] != '\0')
        return check_signature(path, walk->publisher, release.version, out);
    return ToolFault::NONE;
}

unsigned char g_release_bytes[TRANSFER_BUFFER_SIZE];
unsigned char g_node_bytes[TRANSFER_BUFFER_SIZE];

// The first offset below `length` where the two files differ, or `length`;
// false when either cannot be read that far.
bool first_difference(const char* release_path, const char* node_path, uint64_t length,
                      uint64_t* at) {
    FILE* release = fopen(release_path, "rb");
    FILE* node = release != nullptr ? fopen(node_path, "rb") : nullptr;
    bool read = node != nullptr;
    *at = length;
    for (uint64_t offset = 0; read && offset < length && *at == length;) {
        uint64_t rest = length - offset;
        size_t want =
            rest < TRANSFER_BUFFER_SIZE ? static_cast<size_t>(rest) : TRANSFER_BUFFER_SIZE;
        read = fread(g_release_bytes, 1, want, release) == want &&
               fread(g_node_bytes, 1, want, node) == want;
        for (size_t i = 0; read && i < want && *at == length; ++i)
            if (g_release_bytes[i] != g_node_bytes[i]) *at = offset + i;
        offset += want;
    }
    if (node != nullptr) fclose(node);
    if (release != nullptr) fclose(release);
    return read;
}

// Holds every cut-off node's bytes against the release's, once a node
// verified; a cut-off node sending other bytes is a problem.
ToolFault compare_cut_off(CheckResult* r, const Walk& walk) {
    if (walk.release_slot < 0) return ToolFault::NONE;
    char release_path[INSTALLER_PATH_CAPACITY];
    slot_path(walk.temp_dir, walk.release_slot, release_path);
    for (int i = 0; i < r->nodes.count; ++i) {
        NodeResult& n = r->node_results[i];
        if (n.cut_off != CutOffBytes::NOT_COMPARED) continue;
        char path[INSTALLER_PATH_CAPACITY];
        slot_path(walk.temp_dir, i, path);
        if (!first_difference(release_path, path, n.download.written, &n.differs_at))
            return stop(ToolFault::REREAD, path);
        n.cut_off = n.differs_at == n.download.written ? CutOffBytes::SAME : CutOffBytes::DIFFER;
        if (n.cut_off == CutOffBytes::DIFFER) n.cause = Cause::WRONG_BYTES;
    }
    return ToolFault::NONE;
}

// Every reachable node in ranked order, then the cut-off ones compared; the
// first failure of the tool's own ends it. Leaves no file behind.
ToolFault download_all(HttpsSession session, Walk* walk, CheckResult* r) {
    const NodeTable& t = r->nodes;
    ToolFault fault = session_is_open(session) ? ToolFault::NONE : stop(ToolFault::SESSION, "");
    for (int i = 0; fault == ToolFault::NONE && i < t.count; ++i) {
        if (t.entries[i].reachable == 0) continue;
        char path[INSTALLER_PATH_CAPACITY];
        slot_path(walk->temp_dir, i, path);
        NodeResult& n = r->node_results[i];
        fault = download_node(session, t.entries[i], r->choice.release, reachable_after(t, i), path,
                              walk, &n);
        // A refused signature is still the release's bytes.
        bool release = n.cause == Cause::OK || n.cause == Cause::SIGNATURE;
        if (fault == ToolFault::NONE && release && walk->release_slot < 0)
            walk->release_slot = i;
        else if (fault != ToolFault::NONE || n.cut_off == CutOffBytes::NOT_CUT_OFF)
            platform().delete_file(path);
        if (fault != ToolFault::NONE) (void)stop(fault, path);
    }
    if (fault == ToolFault::NONE) fault = compare_cut_off(r, *walk);
    for (int i = 0; i < t.count; ++i) {
        char path[INSTALLER_PATH_CAPACITY];
        slot_path(walk->temp_dir, i, path);
        if (r->node_results[i].downloaded) platform().delete_file(path);
    }
    return fault;
}

void list_problems(CheckResult* r) {
    r->problem_count = 0;
    auto add = [&](ProblemKind kind, int index) { (void)add_problem(r, kind, index); };
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        const MirrorResult& m = r->mirrors[i];
        if (m.outcome.tried && !m.outcome.accepted) add(ProblemKind::MIRROR_FAILS, i);
        if (m.lags) add(ProblemKind::MIRROR_LAGS, i);
        if (m.disagrees && !m.lags) add(ProblemKind::MIRROR_DISAGREES, i);
    }
    if (r->choice.entry < 0) add(ProblemKind::NO_MIRROR, -1);
    for (int i = 0; i < r->nodes.count; ++i) {
        if (r->nodes.entries[i].reachable == 0)
            add(ProblemKind::NODE_UNREACHABLE, i);
        else if (r->node_results[i].downloaded && cause_is_problem(r->node_results[i].cause))
            add(ProblemKind::NODE_FAILS, i);
    }
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

bool add_problem(CheckResult* r, ProblemKind kind, int index) {
    if (r->problem_count >= MAX_PROBLEMS) {
        ++r->problem_count;
        return false;
    }
    r->problems[r->problem_count++] = {kind, index};
    return true;
}

int listed_problems(const CheckResult& r) {
    return r.problem_count < MAX_PROBLEMS ? r.problem_count : MAX_PROBLEMS;
}

int check_exit_code(const CheckResult& r) {
    if (r.tool_fault != ToolFault::NONE) return TOOL_EXIT_CANNOT_WORK;
    return r.problem_count == 0 ? TOOL_EXIT_OK : TOOL_EXIT_FOUND;
}

bool cause_is_problem(Cause cause) { return cause != Cause::OK && cause != Cause::SLOW_KEPT; }

bool run_check(bool download, const char* publisher, FILE* progress, CheckResult* result) {
    *result = CheckResult{};
    char temp_dir[TEMP_DIR_CAPACITY];
    if (download && platform().get_temp_path(TEMP_DIR_CAPACITY, temp_dir) == 0) {
        fprintf(stderr, "varnel-release: no temporary directory\n");
        return false;
    }
    HttpsSession probe_session = open_session(PROBE_TIMEOUTS);
    if (!session_is_open(probe_session)) {
        fprintf(stderr, "varnel-release: cannot open an HTTP session\n");
        return false;
    }
    fetch_mirrors(probe_session, publisher, result);
    build_candidates(&result->nodes, result->choice.release);
    probe_all(probe_session, result);
    rank_with_results(result);
    if (download) {
        result->downloaded = true;
        HttpsSession download_session = open_session(DOWNLOAD_TIMEOUTS);
        Walk walk = {.temp_dir = temp_dir,
                     .publisher = publisher,
                     .rules = {.standing = {.untried_behind = true,
                                            .given_up_bytes_per_s = 0,
                                            .fastest_bytes_per_s = 0},
                               .progress = progress},
                     .installer = {},
                     .release_slot = -1};
        result->tool_fault = download_all(download_session, &walk, result);
        close_session(download_session);
    }
    close_session(probe_session);
    list_problems(result);
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
