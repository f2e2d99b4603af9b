// The check's report: a table for people, one JSON document for programs.
#include <cstdio>

#include "publish/check.h"

namespace {

const char* const DOWNLOAD_IDS[] = {
    "not_tried", "good",       "exchange_failed", "no_file", "transfer_failed",
    "too_long",  "wrong_size", "wrong_digest",    "slow",
};

enum class MirrorOutcome {
    SKIPPED,
    EXCHANGE,
    BODY_TOO_LARGE,
    BODY_FAILED,
    BODY_EMPTY,
    REFUSED,
    ACCEPTED
};

MirrorOutcome outcome_of(const MirrorResult& m) {
    if (m.skipped) return MirrorOutcome::SKIPPED;
    if (m.accepted) return MirrorOutcome::ACCEPTED;
    const MirrorAttempt& a = m.attempt;
    if (a.step != GetStep::DONE) return MirrorOutcome::EXCHANGE;
    if (a.body_failed)
        return a.received >= MANIFEST_BUFFER_SIZE - 1 ? MirrorOutcome::BODY_TOO_LARGE
                                                      : MirrorOutcome::BODY_FAILED;
    if (a.received == 0) return MirrorOutcome::BODY_EMPTY;
    return MirrorOutcome::REFUSED;
}

const char* const OUTCOME_IDS[] = {"skipped",    "exchange_failed", "body_too_large", "body_failed",
                                   "body_empty", "refused",         "accepted"};

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

void json_release(const ReleaseInfo& r) {
    printf("{\"version\": ");
    json_string(r.version);
    printf(", \"file_name\": ");
    json_string(r.file_name);
    printf(", \"size\": %llu, \"sha256\": ", static_cast<unsigned long long>(r.size));
    json_string(r.sha256_hex);
    putchar('}');
}

void table_release(const ReleaseInfo& r) {
    printf("v%s  %s  %llu bytes  %s", r.version, r.file_name,
           static_cast<unsigned long long>(r.size), r.sha256_hex);
}

}  // namespace

void print_table(const CheckResult& r) {
    puts("Mirrors, in the installer's order");
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        const MirrorResult& m = r.mirrors[i];
        printf("  %d  %s\n", i + 1, m.skipped ? "(empty entry)" : m.url);
        MirrorOutcome outcome = outcome_of(m);
        if (outcome == MirrorOutcome::SKIPPED) continue;
        char exchange[32];
        exchange_text(m.attempt.step, m.attempt.status, exchange);
        printf("     %-18s %5d bytes  ", exchange, m.attempt.received);
        switch (outcome) {
            case MirrorOutcome::ACCEPTED:
                printf("accepted: ");
                table_release(m.release);
                printf("%s%s\n", m.lags ? "  LAGS" : "",
                       m.disagrees && !m.lags ? "  DISAGREES" : "");
                break;
            case MirrorOutcome::REFUSED:
                printf("refused: %s\n", manifest_rule_text(m.attempt.rule));
                break;
            case MirrorOutcome::BODY_TOO_LARGE: puts("refused: body of 4095 bytes or more"); break;
            case MirrorOutcome::BODY_FAILED: puts("refused: body read failed"); break;
            case MirrorOutcome::BODY_EMPTY: puts("refused: empty body"); break;
            default: puts("refused: no manifest received"); break;
        }
    }
    printf("\nThe installer takes: ");
    if (r.chosen >= 0)
        printf("mirror %d, source label %s\n   ", r.chosen + 1, r.source_label);
    else
        printf("the built-in release, source label %s\n   ", r.source_label);
    table_release(r.release);
    putchar('\n');
    bool agree = true;
    for (const MirrorResult& m : r.mirrors) agree = agree && !m.disagrees;
    printf("Accepting mirrors agree: %s\n", agree ? "yes" : "no");
    printf("Built-in release v%s: %s v%s\n", BUILTIN_RELEASE.version,
           r.builtin_older ? "older than the published" : "not older than the published",
           r.newest_version);

    printf("\nNodes for v%s, ranked as stage 2 ranks them\n", r.release.version);
    for (int i = 0; i < r.nodes.count; ++i) {
        const NodeEntry& n = r.nodes.entries[i];
        if (n.reachable != 0)
            printf("   %-24s  %5u ms  OK    %s\n", n.label, n.latency_ms, n.url);
        else
            printf("   %-24s  %5s ms  FAIL  %s\n", n.label, "-", n.url);
        const DownloadResult& d = r.downloads[i];
        if (d.verdict == DownloadVerdict::NOT_TRIED) continue;
        char exchange[32];
        exchange_text(d.step, d.status, exchange);
        printf("      download: %s, %llu bytes, %s", exchange,
               static_cast<unsigned long long>(d.bytes), DOWNLOAD_IDS[static_cast<int>(d.verdict)]);
        if (d.sha256_hex[0] != '\0') printf(", sha256 %s", d.sha256_hex);
        putchar('\n');
    }
    if (r.problems == 0)
        puts("\nResult: nothing a user could meet is wrong");
    else
        printf("\nResult: %d problem%s a user could meet\n", r.problems,
               r.problems == 1 ? "" : "s");
}

void print_json(const CheckResult& r) {
    printf("{\"mirrors\": [");
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        const MirrorResult& m = r.mirrors[i];
        MirrorOutcome outcome = outcome_of(m);
        printf("%s\n  {\"entry\": %d, \"url\": ", i == 0 ? "" : ",", i + 1);
        json_string(m.url);
        printf(", \"outcome\": \"%s\"", OUTCOME_IDS[static_cast<int>(outcome)]);
        if (outcome != MirrorOutcome::SKIPPED) {
            printf(", \"step\": \"%s\", \"status\": %u, \"body_bytes\": %d",
                   get_step_text(m.attempt.step), m.attempt.status, m.attempt.received);
        }
        if (outcome == MirrorOutcome::REFUSED) {
            printf(", \"rule\": \"%s\", \"rule_text\": ", manifest_rule_id(m.attempt.rule));
            json_string(manifest_rule_text(m.attempt.rule));
        }
        if (outcome == MirrorOutcome::ACCEPTED) {
            printf(", \"release\": ");
            json_release(m.release);
            printf(", \"lags\": %s, \"disagrees\": %s", m.lags ? "true" : "false",
                   m.disagrees ? "true" : "false");
        }
        putchar('}');
    }
    printf("],\n \"chosen_entry\": %d, \"source_label\": ", r.chosen + 1);
    json_string(r.source_label);
    printf(", \"release\": ");
    json_release(r.release);
    printf(",\n \"newest_version\": ");
    json_string(r.newest_version);
    printf(", \"builtin\": ");
    json_release(BUILTIN_RELEASE);
    printf(", \"builtin_older\": %s,\n \"nodes\": [", r.builtin_older ? "true" : "false");
    for (int i = 0; i < r.nodes.count; ++i) {
        const NodeEntry& n = r.nodes.entries[i];
        printf("%s\n  {\"label\": ", i == 0 ? "" : ",");
        json_string(n.label);
        printf(", \"url\": ");
        json_string(n.url);
        printf(", \"reachable\": %s", n.reachable != 0 ? "true" : "false");
        if (n.reachable != 0) printf(", \"latency_ms\": %u", n.latency_ms);
        const DownloadResult& d = r.downloads[i];
        if (d.verdict != DownloadVerdict::NOT_TRIED) {
            printf(
                ", \"download\": {\"verdict\": \"%s\", \"step\": \"%s\", \"status\": %u, "
                "\"bytes\": %llu, \"sha256\": ",
                DOWNLOAD_IDS[static_cast<int>(d.verdict)], get_step_text(d.step), d.status,
                static_cast<unsigned long long>(d.bytes));
            json_string(d.sha256_hex);
            putchar('}');
        }
        putchar('}');
    }
    printf("],\n \"downloaded\": %s, \"problems\": %d}\n", r.downloaded ? "true" : "false",
           r.problems);
}
