// The check's report: a table for people, one JSON document for programs.
#include <cstdio>
#include <cstring>

#include "publish/check.h"

namespace {

struct CauseName {
    const char* id;
    const char* text;
};

const CauseName CAUSES[] = {
    {"ok", "ok"},
    {"dns", "name not resolved"},
    {"refused", "connection refused"},
    {"timeout", "timed out"},
    {"tls_untrusted", "certificate from no trusted root"},
    {"tls_name", "certificate for another name"},
    {"tls_version", "no TLS version in common"},
    {"tls", "TLS handshake failed"},
    {"insecure_redirect", "redirect from https to http"},
    {"http_status", "HTTP status"},
    {"transfer", "connection broke mid-body"},
    {"empty_body", "empty answer"},
    {"too_large", "body too large"},
    {"rule", "manifest breaks a rule"},
    {"slow", "too slow"},
    {"slow_kept",
     "slow; the installer keeps it (last reachable node, none twice as fast given up)"},
    {"wrong_size", "wrong size"},
    {"wrong_digest", "other bytes than the release (SHA-256 differs)"},
    {"wrong_bytes", "other bytes than the release"},
    {"signature", "signature not valid"},
    {"other", "failed"},
};
static_assert(sizeof CAUSES / sizeof CAUSES[0] == static_cast<int>(Cause::OTHER) + 1,
              "one name per cause");

constexpr int TEXT_CAPACITY = 320;
// A label, a node URL and its text, with room to spare.
constexpr int PROBLEM_CAPACITY = NODE_URL_CAPACITY + TEXT_CAPACITY + 200;

// Ends a line and sends it out whole: a buffer that fills mid-line would go
// out with part of a character. Every line is shorter than the buffer.
void end_line() {
    putchar('\n');
    fflush(stdout);
}

void line(const char* text) {
    fputs(text, stdout);
    end_line();
}

// The cause in words, with its step, status, rule or rate where it has one.
void describe(Cause cause, GetStep step, uint32_t status, ManifestRule rule, double rate,
              char (&out)[TEXT_CAPACITY]) {
    char rate_words[32];
    rate_text(rate, rate_words);
    switch (cause) {
        case Cause::TIMEOUT:
            snprintf(out, sizeof out, "timed out at %s",
                     step == GetStep::DONE ? "body" : get_step_text(step));
            break;
        case Cause::HTTP_STATUS: snprintf(out, sizeof out, "HTTP %u", status); break;
        case Cause::RULE:
            snprintf(out, sizeof out, "manifest breaks a rule: %s", manifest_rule_text(rule));
            break;
        case Cause::SLOW:
            if (rate > 0)
                snprintf(out, sizeof out, "too slow (%s)", rate_words);
            else
                snprintf(out, sizeof out, "too slow");
            break;
        case Cause::SLOW_KEPT:
            snprintf(out, sizeof out,
                     "slow (%s); the installer keeps it (last reachable node, none twice as fast "
                     "given up); cut off here",
                     rate_words);
            break;
        default: snprintf(out, sizeof out, "%s", cause_text(cause)); break;
    }
}

// After the cause: whom the signature names, or why the installer refuses it.
void signature_text(const NodeResult& n, char (&out)[TEXT_CAPACITY]) {
    if (n.signature.text[0] == '\0') return;
    const size_t used = strlen(out);
    snprintf(out + used, sizeof out - used,
             n.cause == Cause::SIGNATURE ? ": %s"
             : n.signature.revocation_unchecked
                 ? ", signed by %s (its revocation status could not be checked)"
                 : ", signed by %s",
             n.signature.text);
}

// The rule a refused manifest breaks; an empty body has no lines at all.
ManifestRule broken_rule(const MirrorResult& m) {
    const MirrorAttempt& a = m.outcome.attempt;
    return a.received == 0 ? ManifestRule::LINE_COUNT : a.rule;
}

void mirror_text(const MirrorResult& m, char (&out)[TEXT_CAPACITY]) {
    const MirrorAttempt& a = m.outcome.attempt;
    describe(m.cause, a.body_failed ? GetStep::DONE : a.step, a.status, broken_rule(m), 0, out);
}

void node_text(const NodeResult& n, char (&out)[TEXT_CAPACITY]) {
    if (!n.downloaded) {
        describe(n.cause, n.probe.body_failed ? GetStep::DONE : n.probe.step, n.probe.status,
                 ManifestRule::NONE, 0, out);
        return;
    }
    const DownloadAttempt& d = n.download;
    GetStep step = d.end == DownloadEnd::EXCHANGE_FAILED ? d.step : GetStep::DONE;
    if (n.cut_off == CutOffBytes::NOT_CUT_OFF) {
        describe(n.cause, step, d.status, ManifestRule::NONE, bytes_per_second(d), out);
        signature_text(n, out);
        return;
    }
    // Cut off: judged by its last window, as the installer judges it.
    Cause slow = n.slow_verdict == PaceVerdict::KEEP ? Cause::SLOW_KEPT : Cause::SLOW;
    describe(slow, step, d.status, ManifestRule::NONE, decisive_bytes_per_second(d), out);
    const size_t used = strlen(out);
    char* rest = out + used;
    const size_t room = sizeof out - used;
    const auto written = static_cast<unsigned long long>(d.written);
    if (n.cut_off == CutOffBytes::SAME)
        snprintf(rest, room, "; its %llu bytes so far are the release's", written);
    else if (n.cut_off == CutOffBytes::DIFFER)
        snprintf(rest, room, "; its bytes differ from the release's from byte %llu of %llu",
                 static_cast<unsigned long long>(n.differs_at), written);
    else
        snprintf(rest, room, "; not compared, as no node verified the release");
}

void node_problem_text(const NodeEntry& n, const NodeResult& nr, char (&out)[PROBLEM_CAPACITY]) {
    char what[TEXT_CAPACITY];
    node_text(nr, what);
    const char* then = "the installer gives it up for the next node";
    if (nr.slow_verdict == PaceVerdict::FOR_FASTER)
        then = "the installer gives it up to go back to a faster node";
    else if (nr.cause == Cause::WRONG_BYTES && nr.slow_verdict == PaceVerdict::KEEP)
        then = "the installer keeps it and meets a hash mismatch at its end";
    else if (nr.cause == Cause::SIGNATURE)
        then = "the installer deletes it and goes on to the next node";
    snprintf(out, sizeof out, "%s %s: %s; %s", n.label, n.url, what, then);
}

// Which slot a problem concerns, and what a user would meet there.
void problem_text(const CheckResult& r, const Problem& problem, char (&out)[PROBLEM_CAPACITY]) {
    char what[TEXT_CAPACITY];
    const MirrorResult* m = problem.index >= 0 && problem.index < MANIFEST_URL_COUNT
                                ? &r.mirrors[problem.index]
                                : nullptr;
    const NodeEntry* n = problem.index >= 0 ? &r.nodes.entries[problem.index] : nullptr;
    switch (problem.kind) {
        case ProblemKind::MIRROR_FAILS:
            mirror_text(*m, what);
            snprintf(out, sizeof out, "mirror %d %s: %s; the installer goes on to the next mirror",
                     problem.index + 1, m->url, what);
            break;
        case ProblemKind::MIRROR_LAGS:
            snprintf(out, sizeof out,
                     "mirror %d %s: serves v%s, older than v%s; a user it answers first gets "
                     "the older release",
                     problem.index + 1, m->url, m->outcome.release.version, r.newest_version);
            break;
        case ProblemKind::MIRROR_DISAGREES:
            snprintf(out, sizeof out,
                     "mirror %d %s: describes another release than the one the installer takes",
                     problem.index + 1, m->url);
            break;
        case ProblemKind::NO_MIRROR:
            snprintf(out, sizeof out,
                     "no mirror serves a valid manifest: every user gets the built-in release v%s",
                     BUILTIN_RELEASE.version);
            break;
        case ProblemKind::NODE_UNREACHABLE:
            node_text(r.node_results[problem.index], what);
            snprintf(out, sizeof out, "%s %s: %s; the installer does not try it", n->label, n->url,
                     what);
            break;
        case ProblemKind::NODE_FAILS:
            node_problem_text(*n, r.node_results[problem.index], out);
            break;
    }
}

const char* problem_cause(const CheckResult& r, const Problem& problem) {
    switch (problem.kind) {
        case ProblemKind::MIRROR_FAILS: return cause_id(r.mirrors[problem.index].cause);
        case ProblemKind::MIRROR_LAGS: return "lags";
        case ProblemKind::MIRROR_DISAGREES: return "disagrees";
        case ProblemKind::NO_MIRROR: return "no_mirror";
        case ProblemKind::NODE_UNREACHABLE:
        case ProblemKind::NODE_FAILS: return cause_id(r.node_results[problem.index].cause);
    }
    return "other";
}

// The download's former verdict, kept for readers of earlier reports.
const char* verdict_id(const NodeResult& n) {
    switch (n.cause) {
        case Cause::OK: return "good";
        case Cause::WRONG_DIGEST: return "wrong_digest";
        case Cause::WRONG_SIZE: return "wrong_size";
        case Cause::TOO_LARGE: return "too_long";
        case Cause::SLOW:
        case Cause::SLOW_KEPT: return "slow";
        case Cause::WRONG_BYTES: return "wrong_digest";
        case Cause::SIGNATURE: return "signature";
        default: break;
    }
    if (n.download.end == DownloadEnd::EXCHANGE_FAILED) return "exchange_failed";
    if (n.download.end == DownloadEnd::NO_FILE) return "no_file";
    return "transfer_failed";
}

const char* mirror_outcome_id(const MirrorResult& m) {
    if (!m.outcome.tried) return m.url[0] == '\0' ? "skipped" : "not_tried";
    if (m.outcome.accepted) return "accepted";
    const MirrorAttempt& a = m.outcome.attempt;
    if (a.step != GetStep::DONE) return "exchange_failed";
    if (m.cause == Cause::TOO_LARGE) return "body_too_large";
    if (a.body_failed) return "body_failed";
    if (a.received == 0) return "body_empty";
    return "refused";
}

// The exchange as one short text: the failed step, or the final status.
void exchange_text(GetStep step, uint32_t status, char (&out)[32]) {
    if (step == GetStep::DONE || step == GetStep::STATUS)
        snprintf(out, sizeof out, "HTTP %u", status);
    else
        snprintf(out, sizeof out, "%s failed", get_step_text(step));
}

void json_string(const char* text) {
    putchar('"');
    for (const char* p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\')
            printf("\\%c", c);
        else if (c < 0x20)
            printf("\\u%04x", c);
        else
            putchar(c);
    }
    putchar('"');
}

void json_release(const ReleaseInfo& release) {
    printf("{\"version\": ");
    json_string(release.version);
    printf(", \"file_name\": ");
    json_string(release.file_name);
    printf(", \"size\": %llu, \"sha256\": ", static_cast<unsigned long long>(release.size));
    json_string(release.sha256_hex);
    putchar('}');
}

void table_release(const ReleaseInfo& release) {
    printf("v%s  %s  %llu bytes  %s", release.version, release.file_name,
           static_cast<unsigned long long>(release.size), release.sha256_hex);
}

void table_mirrors(const CheckResult& r) {
    line("Mirrors, in the installer's order");
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        const MirrorResult& m = r.mirrors[i];
        printf("  %d  %s", i + 1, m.url[0] == '\0' ? "(empty entry)" : m.url);
        end_line();
        if (!m.outcome.tried) continue;
        const MirrorAttempt& a = m.outcome.attempt;
        char exchange[32];
        exchange_text(a.step, a.status, exchange);
        printf("     %-18s %5d bytes  ", exchange, a.received);
        if (m.outcome.accepted) {
            printf("accepted: ");
            table_release(m.outcome.release);
            printf("%s%s", m.lags ? "  LAGS" : "", m.disagrees && !m.lags ? "  DISAGREES" : "");
        } else {
            char what[TEXT_CAPACITY];
            mirror_text(m, what);
            printf("refused: %s", what);
        }
        end_line();
    }
    end_line();
    printf("The installer takes: ");
    if (r.choice.entry >= 0)
        printf("mirror %d, source label %s", r.choice.entry + 1, r.choice.label);
    else
        printf("the built-in release, source label %s", r.choice.label);
    end_line();
    printf("   ");
    table_release(r.choice.release);
    end_line();
    bool agree = true;
    for (const MirrorResult& m : r.mirrors) agree = agree && !m.disagrees;
    printf("Accepting mirrors agree: %s", agree ? "yes" : "no");
    end_line();
    printf("Built-in release v%s: %s v%s", BUILTIN_RELEASE.version,
           r.builtin_older ? "older than the published" : "not older than the published",
           r.newest_version);
    end_line();
}

}  // namespace

const char* cause_id(Cause cause) { return CAUSES[static_cast<int>(cause)].id; }
const char* cause_text(Cause cause) { return CAUSES[static_cast<int>(cause)].text; }

double download_seconds(const DownloadAttempt& d) {
    return static_cast<double>(d.body_ms) / static_cast<double>(MS_PER_SECOND);
}

void rate_text(double bytes_per_second, char (&out)[32]) {
    snprintf(out, sizeof out, "%.2f MB/s", bytes_per_second / BYTES_PER_MB);
}

double decisive_bytes_per_second(const DownloadAttempt& d) {
    return static_cast<double>(window_pace(d.last_window));
}

double bytes_per_second(const DownloadAttempt& d) {
    // A body faster than the clock's step still moved at some rate.
    uint64_t ms = d.body_ms != 0 ? d.body_ms : 1;
    return static_cast<double>(d.written) * static_cast<double>(MS_PER_SECOND) /
           static_cast<double>(ms);
}

namespace {

void table_node(const NodeEntry& n, const NodeResult& nr) {
    char what[TEXT_CAPACITY];
    node_text(nr, what);
    if (n.reachable == 0) {
        printf("   %-24s  %5s ms  FAIL  %s", n.label, "-", n.url);
        end_line();
        printf("      probe: %s", what);
        end_line();
        return;
    }
    printf("   %-24s  %5u ms  OK    %s", n.label, n.latency_ms, n.url);
    end_line();
    if (!nr.downloaded) return;
    const DownloadAttempt& d = nr.download;
    char exchange[32];
    exchange_text(d.step, d.status, exchange);
    printf("      download: %s, %llu bytes in %.1f s", exchange,
           static_cast<unsigned long long>(d.written), download_seconds(d));
    // A cut-off node's pace is the one its words give, the window's.
    if (nr.cut_off == CutOffBytes::NOT_CUT_OFF) {
        char rate[32];
        rate_text(bytes_per_second(d), rate);
        printf(", %s", rate);
    }
    printf(": %s", what);
    if (nr.sha256_hex[0] != '\0') printf(", sha256 %s", nr.sha256_hex);
    end_line();
}

void table_problems(const CheckResult& r) {
    if (r.problem_count == 0 && r.tool_fault == ToolFault::NONE) {
        printf("Result: nothing a user could meet is wrong (exit %d)", check_exit_code(r));
        end_line();
        return;
    }
    line("Problems a user could meet:");
    const int listed = listed_problems(r);
    for (int i = 0; i < listed; ++i) {
        char text[PROBLEM_CAPACITY];
        problem_text(r, r.problems[i], text);
        printf("  - %s", text);
        end_line();
    }
    if (listed < r.problem_count) {
        printf("  - and %d more, not listed", r.problem_count - listed);
        end_line();
    }
    if (r.tool_fault != ToolFault::NONE)
        printf(
            "Result: not checked to the end, the tool's own failure on standard error; %d "
            "problem%s a user could meet before it (exit %d)",
            r.problem_count, r.problem_count == 1 ? "" : "s", check_exit_code(r));
    else
        printf("Result: %d problem%s a user could meet (exit %d)", r.problem_count,
               r.problem_count == 1 ? "" : "s", check_exit_code(r));
    end_line();
}

// The JSON writers: one for each object, each without its separator.
void json_mirror(int entry, const MirrorResult& m) {
    const MirrorAttempt& a = m.outcome.attempt;
    printf("  {\"entry\": %d, \"url\": ", entry);
    json_string(m.url);
    printf(", \"outcome\": \"%s\"", mirror_outcome_id(m));
    if (m.outcome.tried) {
        printf(", \"cause\": \"%s\", \"step\": \"%s\", \"status\": %u, \"body_bytes\": %d",
               cause_id(m.cause), get_step_text(a.step), a.status, a.received);
    }
    if (m.cause == Cause::RULE) {
        printf(", \"rule\": \"%s\", \"rule_text\": ", manifest_rule_id(broken_rule(m)));
        json_string(manifest_rule_text(broken_rule(m)));
    }
    if (m.outcome.accepted) {
        printf(", \"release\": ");
        json_release(m.outcome.release);
        printf(", \"lags\": %s, \"disagrees\": %s", m.lags ? "true" : "false",
               m.disagrees ? "true" : "false");
    }
    putchar('}');
}

void json_choice(const CheckResult& r) {
    printf(" \"chosen_entry\": %d, \"source_label\": ", r.choice.entry + 1);
    json_string(r.choice.label);
    printf(", \"release\": ");
    json_release(r.choice.release);
    putchar(',');
    end_line();
    printf(" \"newest_version\": ");
    json_string(r.newest_version);
    printf(", \"builtin\": ");
    json_release(BUILTIN_RELEASE);
    printf(", \"builtin_older\": %s,", r.builtin_older ? "true" : "false");
    end_line();
}

void json_download(const NodeResult& nr) {
    const DownloadAttempt& d = nr.download;
    printf(", \"seconds\": %.3f, \"bytes_per_second\": %.0f", download_seconds(d),
           bytes_per_second(d));
    printf(
        ", \"download\": {\"verdict\": \"%s\", \"step\": \"%s\", \"status\": %u, "
        "\"bytes\": %llu, \"sha256\": ",
        verdict_id(nr), get_step_text(d.step), d.status,
        static_cast<unsigned long long>(d.written));
    json_string(nr.sha256_hex);
    if (nr.signature.text[0] != '\0') {
        bool refused = nr.cause == Cause::SIGNATURE;
        printf(refused ? ", \"signature_not_valid\": " : ", \"signed_by\": ");
        json_string(nr.signature.text);
        if (!refused || nr.signature.revoked)
            printf(", \"revocation\": \"%s\"", nr.signature.revoked                ? "revoked"
                                               : nr.signature.revocation_unchecked ? "not_checked"
                                                                                   : "good");
    }
    if (nr.cut_off != CutOffBytes::NOT_CUT_OFF) {
        static const char* const BYTES[] = {"", "same", "differ", "not_compared"};
        printf(", \"window_bytes_per_second\": %.0f, \"cut_off_bytes\": \"%s\"",
               decisive_bytes_per_second(d), BYTES[static_cast<int>(nr.cut_off)]);
        if (nr.cut_off == CutOffBytes::DIFFER)
            printf(", \"differs_at\": %llu", static_cast<unsigned long long>(nr.differs_at));
    }
    if (nr.slow_verdict != PaceVerdict::KEEP)
        printf(", \"given_up_for\": \"%s\"",
               nr.slow_verdict == PaceVerdict::FOR_FASTER ? "faster" : "untried");
    putchar('}');
}

void json_node(const NodeEntry& n, const NodeResult& nr) {
    printf("  {\"label\": ");
    json_string(n.label);
    printf(", \"url\": ");
    json_string(n.url);
    printf(", \"reachable\": %s, \"cause\": \"%s\"", n.reachable != 0 ? "true" : "false",
           cause_id(nr.cause));
    if (n.reachable != 0)
        printf(", \"latency_ms\": %u", n.latency_ms);
    else
        printf(", \"step\": \"%s\", \"status\": %u", get_step_text(nr.probe.step), nr.probe.status);
    if (nr.downloaded) json_download(nr);
    putchar('}');
}

void json_problem(const CheckResult& r, const Problem& problem) {
    char text[PROBLEM_CAPACITY];
    problem_text(r, problem, text);
    bool node =
        problem.kind == ProblemKind::NODE_UNREACHABLE || problem.kind == ProblemKind::NODE_FAILS;
    const char* on = node ? "node" : problem.index < 0 ? "release" : "mirror";
    printf("  {\"on\": \"%s\", \"index\": %d, \"cause\": \"%s\", \"text\": ", on, problem.index + 1,
           problem_cause(r, problem));
    json_string(text);
    putchar('}');
}

}  // namespace

void print_table(const CheckResult& r) {
    table_mirrors(r);
    end_line();
    printf("Nodes for v%s, ranked as stage 2 ranks them", r.choice.release.version);
    end_line();
    for (int i = 0; i < r.nodes.count; ++i) table_node(r.nodes.entries[i], r.node_results[i]);
    end_line();
    table_problems(r);
}

void print_json(const CheckResult& r) {
    printf("{\"mirrors\": [");
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        if (i != 0) putchar(',');
        end_line();
        json_mirror(i + 1, r.mirrors[i]);
    }
    printf("],");
    end_line();
    json_choice(r);
    printf(" \"nodes\": [");
    for (int i = 0; i < r.nodes.count; ++i) {
        if (i != 0) putchar(',');
        end_line();
        json_node(r.nodes.entries[i], r.node_results[i]);
    }
    printf("],");
    end_line();
    static const char* const FAULTS[] = {"none", "session", "make", "write", "reread"};
    printf(" \"downloaded\": %s, \"tool_failure\": \"%s\", \"problems\": [",
           r.downloaded ? "true" : "false", FAULTS[static_cast<int>(r.tool_fault)]);
    const int listed = listed_problems(r);
    for (int i = 0; i < listed; ++i) {
        if (i != 0) putchar(',');
        end_line();
        json_problem(r, r.problems[i]);
    }
    printf("],");
    end_line();
    printf(" \"problem_count\": %d}", r.problem_count);
    end_line();
}
