#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fetch/sha256.h"
#include "manifest/mirrors.h"
#include "publish/check.h"
#include "publish/make_manifest.h"
#include "unit/fake_platform.h"
#include "unit/pe_builder.h"
#include "unit/temp_path.h"

namespace {

std::string own_dir() {
    std::string dir = temp_path("dir") + "/";
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

// Every mirror serves the release and every node its file, ranked A to F;
// large enough that a slow node's rest takes longer than the installer waits.
struct World {
    FakePlatform f;
    std::string dir;
    std::string part;
    std::string body = std::string(3 << 20, 'i');
    std::vector<std::string> urls = candidate_urls("3.0", "Small-3.0.exe");
    CheckResult r{};

    // The check's file for the first ranked node.
    explicit World(const std::string& d) : dir(d), part(d + "varnel-release-check-1.part") {
        serve(body);
        for (int i = 0; i < 6; ++i) node(i).latency_ms = 10u * static_cast<uint32_t>(i + 1);
        f.temp_dir = dir;
    }
    // The release 3.0 is `bytes`, on every mirror and node.
    void serve(const std::string& bytes) {
        body = bytes;
        char hex[SHA256_HEX_CAPACITY];
        sha256_digest_bytes(body.data(), body.size(), hex);
        std::string manifest =
            "v3.0\nSmall-3.0.exe\n" + std::to_string(body.size()) + "\n" + hex + "\n";
        for (const char* url : MANIFEST_URLS) f.at(url).body = manifest;
        for (int i = 0; i < 6; ++i) node(i).body = body;
    }
    // As the publisher signed the release 3.0.
    void signed_release(const char* signer) {
        publisher = "Varnel";
        f.signer = signer;
        pe_test::Image image;
        image.version[0] = 3, image.version[1] = 0;
        serve(pe_test::image(image));
    }
    FakeResponse& node(int i) { return f.at(urls[i]); }
    FakeResponse& mirror(int i) { return f.at(MANIFEST_URLS[i]); }
    // A node at 16 KiB/s.
    void slow(int i) {
        node(i).chunk = 16384;
        node(i).read_ms = {{0, 1000}};
    }
    // Bytes a file may grow to while the check runs, as a full disk; 0: no bound.
    uint64_t file_limit = 0;
    // The publisher the tool's build names; "" checks no signature.
    const char* publisher = "";
    std::string run(FILE* progress = nullptr) {
#ifndef _WIN32
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit bounded = before;
        if (file_limit != 0) bounded.rlim_cur = file_limit;
        void (*was)(int) = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &bounded);
#endif
        EXPECT_TRUE(run_check(true, publisher, progress, &r));
#ifndef _WIN32
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, was);
#endif
        return capture_stdout([&] { print_table(r); });
    }
    int slot(int candidate) const {
        for (int i = 0; i < r.nodes.count; ++i)
            if (urls[candidate] == r.nodes.entries[i].url) return i;
        return -1;
    }
};

struct Row {
    const char* name;
    void (*setup)(World&);
    int mirror;  // the entry the row is about, or -1 for a node
    int node;    // the candidate (0 for A) it is about
    const char* cause;
    const char* words;
    bool problem;
    int exit_code;
    const char* stderr_words = nullptr;  // the tool's own failure, as it says it
    const char* json_words = nullptr;    // in its JSON document
};

const char STOPPED[] = "Result: not checked to the end, the tool's own failure";

const Row ROWS[] = {
    {"served whole", [](World&) {}, -1, 0, "ok", "MB/s: ok, sha256 ", false, 0},
    {"probe answered 200 with an empty body", [](World& w) { w.node(0).body = ""; }, -1, 0,
     "empty_body", "probe: empty answer", true, 1},
    {"probe body broke",
     [](World& w) {
         w.node(0).break_after = 0;
         w.node(0).failure = HttpFailure::TRANSFER;
     },
     -1, 0, "transfer", "probe: connection broke mid-body", true, 1},
    {"download body broke",
     [](World& w) {
         w.node(0).break_after = 100000;
         w.node(0).failure = HttpFailure::TRANSFER;
     },
     -1, 0, "transfer", "connection broke mid-body; the installer gives it up", true, 1},
    {"download body stopped with no HTTP call failed",
     [](World& w) {
         w.node(0).break_after = 100000;
         w.node(0).failure = HttpFailure::NONE;
     },
     -1, 0, "other", "failed; the installer gives it up", true, 1},
// The tool's own failures blame no node.
#ifndef _WIN32
    // A full disk, as a bound on the size of any file the process writes.
    {"the tool's own write fails", [](World& w) { w.file_limit = 1 << 20; }, -1, 0, "ok", STOPPED,
     false, 2, "could not write its own file "},
#endif
    {"the tool's own file cannot be made", [](World& w) { w.f.temp_dir = w.dir + "gone/"; }, -1, 0,
     "ok", STOPPED, false, 2, "could not make its own file "},
    {"the file is gone before its digest",
     [](World& w) { w.node(0).on_close = [&w] { (void)remove(w.part.c_str()); }; }, -1, 0, "ok",
     STOPPED, false, 2, "could not reread its own file "},
    {"the download session cannot be opened", [](World& w) { w.f.opens_allowed = 1; }, -1, 0, "ok",
     STOPPED, false, 2, "cannot open an HTTP session for the downloads;"},
    // A problem found before the tool's own failure does not make the check's work complete.
    {"a lagging mirror, then no download session",
     [](World& w) {
         w.mirror(0).body = "v0.9" + w.mirror(0).body.substr(4);
         w.f.opens_allowed = 1;
     },
     0, 0, "ok", STOPPED, false, 2, "cannot open an HTTP session for the downloads;"},
    {"signed by the publisher named", [](World& w) { w.signed_release("Varnel"); }, -1, 0, "ok",
     "ok, signed by Varnel, sha256 ", false, 0},
    {"signed by another publisher", [](World& w) { w.signed_release("Other"); }, -1, 0, "signature",
     "signature not valid: signed by another publisher, Other; the installer deletes it", true, 1},
    {"a revoked signer",
     [](World& w) {
         w.signed_release("Varnel");
         w.f.signature = SignatureVerdict::REVOKED;
     },
     -1, 0, "signature", "signature not valid: revoked; the installer deletes it", true, 1},
    {"a signer whose revocation status is not fetched",
     [](World& w) {
         w.signed_release("Varnel");
         w.f.revocation_unchecked = true;
     },
     -1, 0, "ok", "ok, signed by Varnel (its revocation status could not be checked), sha256 ",
     false, 0},
    {"right size, other bytes", [](World& w) { w.node(0).body = std::string(w.body.size(), 'x'); },
     -1, 0, "wrong_digest", "other bytes than the release", true, 1},
    {"body short of its length",
     [](World& w) {
         w.node(0).content_length = static_cast<int64_t>(w.body.size());
         w.node(0).body = w.body.substr(0, 1000);
     },
     -1, 0, "wrong_size", "wrong size", true, 1},
    {"probe answered 404", [](World& w) { w.node(0).status = 404; }, -1, 0, "http_status",
     "probe: HTTP 404", true, 1},
    {"mirror body broke",
     [](World& w) {
         w.mirror(0).break_after = 10;
         w.mirror(0).failure = HttpFailure::TRANSFER;
     },
     0, 0, "transfer", "refused: connection broke mid-body", true, 1},
    {"mirror body past its bound",
     [](World& w) {
         w.mirror(0).chunk = 1, w.mirror(0).read_ms = {{0, 2000}};
     },
     0, 0, "slow", "refused: too slow", true, 1},
    {"mirror body stopped with no HTTP call failed",
     [](World& w) {
         w.mirror(0).break_after = 10;
         w.mirror(0).failure = HttpFailure::NONE;
     },
     0, 0, "other", "refused: failed", true, 1},
    {"the first mirror lags",
     [](World& w) { w.mirror(0).body = "v0.9" + w.mirror(0).body.substr(4); }, 0, 0, "ok",
     "serves v0.9, older than v3.0", false, 1},
    {"a pinned tool: the first mirror older than the built-in release",
     [](World& w) {
         w.signed_release("Varnel");
         w.mirror(0).body = "v1.0" + w.mirror(0).body.substr(4);
     },
     0, 0, "rule", "older than the built-in release", true, 1},
    {"slow with a reachable node behind it",
     [](World& w) {
         w.slow(0);
         w.slow(1);
     },
     -1, 0, "slow",
     "too slow (0.02 MB/s); its 245760 bytes so far are the release's; the installer gives it up "
     "for the next node",
     true, 1, nullptr, "\"given_up_for\": \"untried\""},
    {"slow and the last reachable node", [](World& w) { w.slow(0); }, -1, 0, "slow_kept",
     "slow (0.02 MB/s); the installer keeps it (last reachable node, none twice", false, 0},
    // A cut-off node held against the bytes of one that verified.
    {"cut off, its bytes so far the release's", [](World& w) { w.slow(0); }, -1, 0, "slow_kept",
     "cut off here; its 245760 bytes so far are the release's", false, 0},
    {"cut off, its bytes not the release's",
     [](World& w) {
         w.slow(0);
         w.node(0).body = std::string(w.body.size(), 'x');
     },
     -1, 0, "wrong_bytes",
     "its bytes differ from the release's from byte 0 of 245760; the installer keeps it and "
     "meets a hash mismatch",
     true, 1},
    {"cut off, its bytes differing past the first 64 KiB",
     [](World& w) {
         w.slow(0);
         w.node(0).body[100000] = 'x';
     },
     -1, 0, "wrong_bytes", "its bytes differ from the release's from byte 100000 of 245760", true,
     1},
    {"cut off, no node verified to compare with",
     [](World& w) {
         w.slow(0);
         for (int i = 1; i < 6; ++i) w.node(i).status = 404;
     },
     -1, 0, "slow_kept", "not compared, as no node verified the release", false, 1},
    // Fast for its first window, then a crawl: its words give the window that
    // decided, not the body's average.
    {"cut off after a fast window",
     [](World& w) {
         w.node(0).chunk = 16384;
         w.node(0).read_ms = {{0, 100}, {2u << 20, 16000}};
     },
     -1, 0, "slow_kept", "2129920 bytes in 44.8 s: slow (0.00 MB/s)", false, 0, nullptr,
     "\"window_bytes_per_second\": 1024"},
    {"slow and the last reachable node, one given up at over twice its pace",
     [](World& w) {
         w.slow(0);
         w.node(1).chunk = 4096;
         w.node(1).read_ms = {{0, 1000}};
         for (int i = 2; i < 6; ++i) w.node(i).status = 404;
     },
     -1, 1, "slow",
     "too slow (0.00 MB/s); not compared, as no node verified the release; the installer gives "
     "it up to go back to a faster node",
     true, 1, nullptr, "\"given_up_for\": \"faster\""},
    // Only the first slow node is given up; the others are as fast as it.
    {"slow everywhere: a later slow node downloaded whole",
     [](World& w) {
         for (int i = 0; i < 3; ++i) w.slow(i);
     },
     -1, 1, "ok", "3145728 bytes in 192.0 s, 0.02 MB/s: ok", false, 1},
};

TEST(ReleaseCheck, EachOutcomeNamedAndCounted) {
    const std::string dir = own_dir();
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.name);
        World w(dir);
        row.setup(w);
        testing::internal::CaptureStderr();
        std::string table = w.run();
        std::string said = testing::internal::GetCapturedStderr();
        if (row.stderr_words != nullptr) {
            EXPECT_NE(said.find(std::string("varnel-release: ") + row.stderr_words),
                      std::string::npos)
                << said;
        }
        EXPECT_EQ(said.find("no node is to blame") != std::string::npos,
                  row.stderr_words != nullptr)
            << said;
        if (row.json_words != nullptr) {
            std::string json = capture_stdout([&] { print_json(w.r); });
            EXPECT_NE(json.find(row.json_words), std::string::npos) << json;
        }
        const int index = row.mirror >= 0 ? row.mirror : w.slot(row.node);
        ASSERT_GE(index, 0);
        Cause cause = row.mirror >= 0 ? w.r.mirrors[index].cause : w.r.node_results[index].cause;
        EXPECT_STREQ(cause_id(cause), row.cause);
        EXPECT_NE(table.find(row.words), std::string::npos) << table;
        bool problem = false;
        for (int i = 0; i < listed_problems(w.r); ++i) {
            const Problem& p = w.r.problems[i];
            bool on_mirror = p.kind == ProblemKind::MIRROR_FAILS;
            problem = problem || (p.index == index && on_mirror == (row.mirror >= 0));
        }
        EXPECT_EQ(problem, row.problem);
        EXPECT_EQ(check_exit_code(w.r), row.exit_code);
        EXPECT_NE(table.find("(exit " + std::to_string(row.exit_code) + ")\n"), std::string::npos);
        EXPECT_EQ(w.f.live_handles, 0);
        for (const auto& file : std::filesystem::directory_iterator(dir))
            ADD_FAILURE() << "left behind: " << file.path();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

// A copy of a result stands alone, the versions it names its own; problems
// past the list are counted, not written.
TEST(ReleaseCheck, ACopyStandsAloneAndProblemsPastTheListAreCounted) {
    const std::string dir = own_dir();
    static CheckResult r;
    {
        World w(dir);
        w.mirror(2).body = "v0.9" + w.mirror(2).body.substr(4);
        (void)w.run();
        r = w.r;
        w.r = CheckResult{};
    }
    ASSERT_EQ(r.problem_count, 1);  // the mirror that lags
    for (int i = 1; i < MAX_PROBLEMS + 3; ++i)
        EXPECT_EQ(add_problem(&r, ProblemKind::MIRROR_DISAGREES, 0), i < MAX_PROBLEMS) << i;
    EXPECT_EQ(r.problem_count, MAX_PROBLEMS + 3);
    EXPECT_EQ(listed_problems(r), MAX_PROBLEMS);
    EXPECT_EQ(check_exit_code(r), 1);
    std::string table = capture_stdout([&] { print_table(r); });
    EXPECT_NE(table.find("older than v3.0; a user"), std::string::npos) << table;
    EXPECT_NE(table.find("  - and 3 more, not listed\nResult: " + std::to_string(MAX_PROBLEMS + 3) +
                         " problems"),
              std::string::npos)
        << table;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

TEST(ReleaseCheck, RatesInMegabytesOf1048576Bytes) {
    struct {
        uint64_t written, ms;
        double per_second;
        const char* text;
    } const rows[] = {
        {2u << 20, 1000, 2097152.0, "2.00 MB/s"},
        {16384u * 15, 15000, 16384.0, "0.02 MB/s"},
        {3u << 19, 500, 3145728.0, "3.00 MB/s"},
        {1000, 0, 1000000.0, "0.95 MB/s"},  // faster than the clock's step
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.written) + " bytes in " + std::to_string(row.ms) + " ms");
        DownloadAttempt d{};
        d.written = row.written;
        d.body_ms = row.ms;
        EXPECT_DOUBLE_EQ(bytes_per_second(d), row.per_second);
        char text[32];
        rate_text(bytes_per_second(d), text);
        EXPECT_STREQ(text, row.text);
    }
}

// The progress stream is buffered, as standard error is on Windows: each line
// must reach it while its download runs, not at the tool's next flush.
TEST(ReleaseCheck, ProgressReachesItsStreamDuringTheDownload) {
    const std::string dir = own_dir();
    const std::string log = dir + "progress.txt";
    FILE* progress = fopen(log.c_str(), "w+b");
    ASSERT_NE(progress, nullptr);
    {
        World w(dir);
        long long held = -1;
        w.node(0).on_close = [&] {
            struct stat s {};
            if (fstat(fileno(progress), &s) == 0) held = static_cast<long long>(s.st_size);
        };
        w.run(progress);
        EXPECT_GT(held, 0);
    }
    fclose(progress);
    std::ifstream in(log, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\r   [节点A/Node A] 100%  (3.0 / 3.0 MB)\n"), std::string::npos) << text;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

// Line 2 holds the file's own name, whichever separator its path uses.
TEST(ReleaseManifest, NameWithoutItsFolder) {
    const std::string dir = own_dir();
    std::filesystem::create_directories(dir + "sub");
    for (const char* separator : {"/", "\\"}) {
        SCOPED_TRACE(std::string("separator ") + separator);
        std::string installer = dir + "sub" + separator + "Varnel-1.0-setup.exe";
        std::ofstream(installer, std::ios::binary) << "installer";
        std::string out = dir + "manifest.txt";
        ASSERT_EQ(make_manifest("1.0", installer.c_str(), out.c_str(), ""), 0);
        std::ifstream in(out);
        std::string line;
        std::getline(in, line);
        std::getline(in, line);
        EXPECT_EQ(line, "Varnel-1.0-setup.exe");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

// Without -o the manifest goes to standard output, switched to binary through
// the platform first, so its lines keep their LF ends.
TEST(ReleaseManifest, StandardOutputSwitchedThroughThePlatform) {
    const std::string dir = own_dir();
    std::string installer = dir + "Varnel-1.0-setup.exe";
    std::ofstream(installer, std::ios::binary) << "installer";
    FakePlatform f;
    int code = -1;
    std::string out =
        capture_stdout([&] { code = make_manifest("1.0", installer.c_str(), nullptr, ""); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(f.count("stdout binary"), 1);
    EXPECT_EQ(out.rfind("1.0", 0), 0u) << out;
    EXPECT_NE(out.find("Varnel-1.0-setup.exe"), std::string::npos) << out;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace
