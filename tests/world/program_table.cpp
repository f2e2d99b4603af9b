// program-table OUT.json: the installer's own table of what the Python suites
// would otherwise restate, as one JSON document: the mirror URLs in stage 1's
// order, the candidate URL forms in stage 2's ({version} and {name} standing
// for the release's), the timeouts of both sessions, the user agent, the
// probe's range, the largest manifest body, the built-in release and the
// program's version. Exits 1 when OUT.json cannot be written.
#include <cstdio>

#include "app/run.h"
#include "manifest/fetch_manifest.h"
#include "manifest/mirrors.h"
#include "manifest/release.h"
#include "net/https.h"
#include "nodes/node_table.h"

namespace {

void json_string(FILE* out, const char* text) {
    fputc('"', out);
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') fputc('\\', out);
        fputc(*p, out);
    }
    fputc('"', out);
}

// The program's UTF-16 constants are ASCII.
void json_string16(FILE* out, const char16_t* text) {
    char narrow[256];
    size_t n = 0;
    for (; text[n] != 0 && n + 1 < sizeof narrow; ++n) narrow[n] = static_cast<char>(text[n]);
    narrow[n] = '\0';
    json_string(out, narrow);
}

void json_timeouts(FILE* out, const char* name, const TimeoutProfile& p) {
    fprintf(out, "  \"%s\": {\"resolve\": %u, \"connect\": %u, \"send\": %u, \"receive\": %u}",
            name, static_cast<unsigned>(p.resolve_ms), static_cast<unsigned>(p.connect_ms),
            static_cast<unsigned>(p.send_ms), static_cast<unsigned>(p.receive_ms));
}

void json_lists(FILE* out) {
    fputs("{\"mirrors\": [", out);
    for (int i = 0; i < MANIFEST_URL_COUNT; ++i) {
        fputs(i == 0 ? "" : ", ", out);
        json_string(out, MANIFEST_URLS[i]);
    }
    ReleaseInfo forms{};
    snprintf(forms.version, sizeof forms.version, "{version}");
    snprintf(forms.file_name, sizeof forms.file_name, "{name}");
    NodeTable nodes{};
    build_candidates(&nodes, forms);
    fputs("],\n \"nodes\": [", out);
    for (int i = 0; i < nodes.count; ++i) {
        fputs(i == 0 ? "" : ", ", out);
        json_string(out, nodes.entries[i].url);
    }
    fputs("],\n", out);
}

}  // namespace

int main(int argc, char** argv) {
    FILE* out = argc == 2 ? fopen(argv[1], "wb") : nullptr;
    if (out == nullptr) {
        fprintf(stderr, "usage: program-table OUT.json (a file it can write)\n");
        return 1;
    }
    json_lists(out);
    fputs(" \"timeouts\": {\n", out);
    json_timeouts(out, "probe", PROBE_TIMEOUTS);
    fputs(",\n", out);
    json_timeouts(out, "download", DOWNLOAD_TIMEOUTS);
    fputs("},\n \"user_agent\": ", out);
    json_string16(out, USER_AGENT);
    fputs(", \"probe_range_header\": ", out);
    json_string16(out, PROBE_RANGE_HEADER);
    fprintf(out, ",\n \"manifest_body_max\": %d, \"version\": ", MANIFEST_BODY_MAX);
    json_string(out, INSTALLER_VERSION);
    fputs(",\n \"builtin\": {\"version\": ", out);
    json_string(out, BUILTIN_RELEASE.version);
    fputs(", \"file_name\": ", out);
    json_string(out, BUILTIN_RELEASE.file_name);
    fprintf(out, ", \"size\": %llu}}\n", static_cast<unsigned long long>(BUILTIN_RELEASE.size));
    return fclose(out) == 0 ? 0 : 1;
}
