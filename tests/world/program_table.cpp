// program-table OUT.json: the installer's own table of what the Python suites
// would otherwise restate, as one JSON document: the mirror URLs in stage 1's
// order, the candidate URL forms in stage 2's ({version} and {name} standing
// for the release's), both sessions' timeouts, the user agent, the probe's
// range header, the largest manifest body, the built-in release and the
// program's version. None holds a quote or a backslash. Exits 1 when OUT.json
// cannot be written.
#include <cstdio>

#include "app/run.h"
#include "manifest/fetch_manifest.h"
#include "net/https.h"
#include "nodes/node_table.h"

namespace {

void json_list(FILE* out, const char* name, const char* const* items, int count) {
    fprintf(out, " \"%s\": [", name);
    for (int i = 0; i < count; ++i) fprintf(out, "%s\"%s\"", i == 0 ? "" : ", ", items[i]);
    fputs("],\n", out);
}

// The program's UTF-16 constants are ASCII.
const char* narrow(const char16_t* text, char (&out)[64]) {
    size_t n = 0;
    for (; text[n] != 0 && n + 1 < sizeof out; ++n) out[n] = static_cast<char>(text[n]);
    out[n] = '\0';
    return out;
}

void json_timeouts(FILE* out, const char* name, const TimeoutProfile& p) {
    fprintf(out, "  \"%s\": {\"resolve\": %u, \"connect\": %u, \"send\": %u, \"receive\": %u}",
            name, static_cast<unsigned>(p.resolve_ms), static_cast<unsigned>(p.connect_ms),
            static_cast<unsigned>(p.send_ms), static_cast<unsigned>(p.receive_ms));
}

}  // namespace

int main(int argc, char** argv) {
    FILE* out = argc == 2 ? fopen(argv[1], "wb") : nullptr;
    if (out == nullptr) {
        fprintf(stderr, "usage: program-table OUT.json (a file it can write)\n");
        return 1;
    }
    ReleaseInfo forms{};
    snprintf(forms.version, sizeof forms.version, "{version}");
    snprintf(forms.file_name, sizeof forms.file_name, "{name}");
    NodeTable nodes{};
    build_candidates(&nodes, forms);
    const char* node_urls[NODE_CAPACITY];
    for (int i = 0; i < nodes.count; ++i) node_urls[i] = nodes.entries[i].url;
    fputs("{\n", out);
    json_list(out, "mirrors", MANIFEST_URLS, MANIFEST_URL_COUNT);
    json_list(out, "nodes", node_urls, nodes.count);
    fputs(" \"timeouts\": {\n", out);
    json_timeouts(out, "probe", PROBE_TIMEOUTS);
    fputs(",\n", out);
    json_timeouts(out, "download", DOWNLOAD_TIMEOUTS);
    char agent[64];
    char range[64];
    fprintf(out,
            "},\n \"user_agent\": \"%s\", \"probe_range_header\": \"%s\",\n"
            " \"manifest_body_max\": %d, \"version\": \"%s\",\n"
            " \"builtin\": {\"version\": \"%s\", \"file_name\": \"%s\", \"size\": %llu}}\n",
            narrow(USER_AGENT, agent), narrow(PROBE_RANGE_HEADER, range), MANIFEST_BODY_MAX,
            INSTALLER_VERSION, BUILTIN_RELEASE.version, BUILTIN_RELEASE.file_name,
            static_cast<unsigned long long>(BUILTIN_RELEASE.size));
    return fclose(out) == 0 ? 0 : 1;
}
