// One download attempt and the integrity check, each on its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fetch/download.h"
#include "fetch/sha256.h"
#include "fetch/verify.h"
#include "unit/fake_platform.h"
#include "unit/pe_builder.h"
#include "unit/temp_path.h"

namespace {

// Node B of a release 1.0.
const std::string URL = candidate_urls("1.0", "Small-1.0.exe")[1];

struct FetchTest : testing::Test {
    std::string body = std::string(200000, 'i') + "installer";
    std::string path = temp_path("installer");

    void TearDown() override { remove(path.c_str()); }
    bool file_exists() const {
        FILE* file = fopen(path.c_str(), "rb");
        if (file != nullptr) fclose(file);
        return file != nullptr;
    }
    // One attempt against node B; what it printed goes to *out.
    DownloadAttempt attempt{};
    bool download(uint64_t expected_size, std::string* out) {
        NodeEntry entry{};
        snprintf(entry.url, sizeof entry.url, "%s", URL.c_str());
        entry.label = NODE_LABELS[1];
        entry.reachable = 1;
        // As in the installer, the probe session stays open meanwhile.
        HttpsSession probe = open_session(PROBE_TIMEOUTS);
        HttpsSession s = open_session(DOWNLOAD_TIMEOUTS);
        bool ok = false;
        DownloadRules rules = {{true, 0, 0}, stdout};
        *out = capture_stdout([&] {
            ok = download_from_node(s, entry, expected_size, path.c_str(), &rules, &attempt);
        });
        close_session(s);
        close_session(probe);
        return ok;
    }
};

// The percentages of the progress lines in `out`, in order.
std::vector<int> percentages(const std::string& out) {
    std::vector<int> shown;
    for (size_t at = out.find("] "); at != std::string::npos; at = out.find("] ", at + 1))
        shown.push_back(atoi(out.c_str() + at + 2));
    return shown;
}

std::vector<int> every_percent() {
    std::vector<int> all;
    for (int p = 0; p <= 100; ++p) all.push_back(p);
    return all;
}

TEST_F(FetchTest, OneProgressLinePerChangeOfPercentage) {
    struct Case {
        uint32_t size, chunk;
        std::vector<int> shown;
    } cases[] = {
        {200000, 1000, every_percent()},  // two reads per percent
        {200000, 50000, {25, 50, 75, 100}},
        {1000, 1, every_percent()},  // ten reads per percent
        {3, 1, {33, 66, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + ", reads of " + std::to_string(c.chunk));
        FakePlatform f;
        f.at(URL).body = std::string(c.size, 'b');
        f.at(URL).chunk = c.chunk;
        std::string out;
        EXPECT_TRUE(download(c.size, &out));
        EXPECT_EQ(percentages(out), c.shown);
    }
}

// How an attempt ends, its progress line, and no file grown past the
// release by more than one read, whatever the node sends.
TEST_F(FetchTest, DownloadFromNodeCases) {
    using E = DownloadEnd;
    struct Case {
        const char* name;
        void (*arm)(FakeResponse&, const std::string& body);
        DownloadEnd end;
        bool progress;
        const char* file = nullptr;  // set: written there instead
    } cases[] = {
        {"whole body", [](FakeResponse&, const std::string&) {}, E::COMPLETE, true},
        {"206 accepted", [](FakeResponse& r, const std::string&) { r.status = 206; }, E::COMPLETE,
         true},
        {"no length: no progress",
         [](FakeResponse& r, const std::string&) { r.content_length = -1; }, E::COMPLETE, false},
        {"length 0: no progress", [](FakeResponse& r, const std::string&) { r.content_length = 0; },
         E::COMPLETE, false},
        {"status 500", [](FakeResponse& r, const std::string&) { r.status = 500; },
         E::EXCHANGE_FAILED, false},
        {"wrong length before body",
         [](FakeResponse& r, const std::string& b) {
             r.content_length = static_cast<int64_t>(b.size() + 1);
         },
         E::WRONG_LENGTH, false},
        {"short body",
         [](FakeResponse& r, const std::string& b) {
             r.body = b.substr(10);
             r.content_length = static_cast<int64_t>(b.size());
         },
         E::WRONG_SIZE, true},
        {"read fails midway",
         [](FakeResponse& r, const std::string&) {
             r.chunk = 65536;
             r.break_after = 65536;
         },
         E::TRANSFER_FAILED, true},
        // Without a declared length, the one way a real backend sends more
        // than the release.
        {"overlong without a length: cut at the release",
         [](FakeResponse& r, const std::string& b) {
             r.body = b + std::string(5000000, 'z');
             r.content_length = -1;
         },
         E::TOO_LONG, false},
        {"availability above 64 KiB",
         [](FakeResponse& r, const std::string&) { r.chunk = 1000000; }, E::COMPLETE, true},
        {"head after 5 s, past the open probe session's 3 s: taken",
         [](FakeResponse& r, const std::string&) {
             r.latency_ms = 5000;
             r.head_bounded = true;
         },
         E::COMPLETE, true},
#ifndef _WIN32
        // Every write lands in the buffer; only the close finds the disk full.
        {"the file's close fails",
         [](FakeResponse& r, const std::string&) {
             r.body = "short";
             r.content_length = 5;
         },
         E::WRITE_FAILED, true, "/dev/full"},
#endif
    };
    const std::string own_path = path;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        path = c.file != nullptr ? c.file : own_path;
        FakePlatform f;
        FakeResponse& r = f.at(URL);
        r.body = body;
        c.arm(r, body);
        std::string out;
        EXPECT_EQ(download(c.file != nullptr ? r.body.size() : body.size(), &out),
                  c.end == E::COMPLETE);
        EXPECT_EQ(attempt.end, c.end);
        if (c.progress) {
            EXPECT_EQ(out.rfind("\r   [节点B/Node B] ", 0), 0u) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        for (uint32_t asked : f.reads_asked) EXPECT_LE(asked, 65536u);
        EXPECT_EQ(f.live_handles, 0);
        if (c.file != nullptr) continue;
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        if (file) {
            EXPECT_LE(static_cast<uint64_t>(file.tellg()), body.size() + TRANSFER_BUFFER_SIZE);
        }
        file.close();
        remove(path.c_str());
    }
    path = own_path;
}

TEST_F(FetchTest, VerifyOutcomes) {
    using pe_test::Image;
    auto image = [](auto change) {
        Image i;
        change(i);
        return i;
    };
    const std::string refused = "   签名无效 / Signature not valid: ";
    struct Case {
        const char* name;
        bool write;
        std::string expected_digest;
        uintptr_t shell;
        VerifyResult result;
        bool kept;
        const char* signer = nullptr;  // set: the build names "Varnel", this signed
        SignatureVerdict verdict = SignatureVerdict::SIGNED;
        std::string said = "";     // stage 4's signature line
        Image file = {};           // the file served, as the release 9.2.0
        std::string subject = "";  // the signer's subject as DER, over `signer`
    };
    // The build names "Varnel": the file is started when the line names its signer, else
    // refused, deleted and the next node tried.
    const std::string started = "   签名/Signed by: Varnel\n";
    auto pin = [&](const char* name, const std::string& said,
                   SignatureVerdict verdict = SignatureVerdict::SIGNED, const Image& file = {},
                   const char* signer = "Varnel", const std::string& subject = "") {
        bool start = said.rfind(started, 0) == 0;
        return Case{name,
                    true,
                    "",
                    start ? 33u : 42u,
                    start ? VerifyResult::LAUNCHED : VerifyResult::TRY_NEXT_NODE,
                    start,
                    signer,
                    verdict,
                    said,
                    file,
                    subject};
    };
    auto cn = [](uint8_t tag, const std::string& text) {
        return pe_test::name({{pe_test::OID_CN, tag, text}});
    };
    const std::string not_one = refused + "the signer's name is not one common name\n";
    const std::string hidden = refused + "data hidden in the signature\n";
    const Case cases[] = {
        {"upper-case digest matches", true, "", 33, VerifyResult::LAUNCHED, true},
        {"shell 32 is a failure", true, "", 32, VerifyResult::LAUNCH_FAILED, true},
        {"last character differs", true, "x", 42, VerifyResult::TRY_NEXT_NODE, false},
        {"63 characters", true, "short", 42, VerifyResult::TRY_NEXT_NODE, false},
        {"unreadable file", false, "", 42, VerifyResult::TRY_NEXT_NODE, false},
        pin("signed by the publisher", started),
        pin("its name as a BMP string", started, SignatureVerdict::SIGNED, {}, "",
            cn(0x1e, std::string("\0V\0a\0r\0n\0e\0l", 12))),
        pin("at most 7 zero bytes after the signature", started, SignatureVerdict::SIGNED,
            image([](Image& i) { i.pad_to_8 = false, i.padding = std::string(7, '\0'); })),
        pin("its revocation status not fetched",
            started + "   无法检查吊销状态 / Revocation status could not be checked\n   启动"),
        pin("signed by another publisher", refused + "signed by another publisher, Other\n",
            SignatureVerdict::SIGNED, {}, "Other"),
        pin("a prefix of the publisher", refused + "signed by another publisher, Varne\n",
            SignatureVerdict::SIGNED, {}, "Varne"),
        pin("the publisher and more", refused + "signed by another publisher, Varnel Ltd\n",
            SignatureVerdict::SIGNED, {}, "Varnel Ltd"),
        pin("a NUL inside its name", not_one, SignatureVerdict::SIGNED, {}, "",
            cn(0x0c, std::string("Varnel\0evil", 11))),
        pin("the name only as organisation", not_one, SignatureVerdict::SIGNED, {}, "",
            pe_test::name({{pe_test::OID_O, 0x0c, "Varnel"}})),
        pin("two common names", not_one, SignatureVerdict::SIGNED, {}, "",
            pe_test::name({{pe_test::OID_CN, 0x0c, "Varnel"}, {pe_test::OID_CN, 0x0c, "Other"}})),
        pin("not signed", refused + "not signed\n", SignatureVerdict::NOT_SIGNED),
        pin("chain to no trusted root", refused + "not from a trusted root\n",
            SignatureVerdict::NOT_TRUSTED),
        pin("changed after signing", refused + "the file does not match its signature\n",
            SignatureVerdict::ALTERED),
        pin("not for code signing", refused + "not for code signing\n",
            SignatureVerdict::NOT_FOR_CODE_SIGNING),
        pin("expired", refused + "expired\n", SignatureVerdict::EXPIRED),
        pin("revoked", refused + "revoked\n", SignatureVerdict::REVOKED),
        pin("no certificate table", refused + "not signed\n", SignatureVerdict::SIGNED,
            image([](Image& i) { i.signature = ""; })),
        pin("8 zero bytes after the signature", hidden, SignatureVerdict::SIGNED,
            image([](Image& i) { i.pad_to_8 = false, i.padding = std::string(8, '\0'); })),
        pin("a byte other than zero after the signature", hidden, SignatureVerdict::SIGNED,
            image([](Image& i) { i.pad_to_8 = false, i.padding = std::string(1, 'x'); })),
        pin("bytes after the table", hidden, SignatureVerdict::SIGNED,
            image([](Image& i) { i.after_table = "payload"; })),
        pin("SHA-1 file digest", refused + "weak digest\n", SignatureVerdict::SIGNED,
            image([](Image& i) { i.signature = pe_test::authenticode(0, 1); })),
        pin("SHA-1 signer digest", refused + "weak digest\n", SignatureVerdict::SIGNED,
            image([](Image& i) { i.signature = pe_test::authenticode(3, 0); })),
        pin("an older version", refused + "version 9.1.0, not the release's 9.2.0\n",
            SignatureVerdict::SIGNED, image([](Image& i) { i.version[1] = 1; })),
        pin("a fourth number", refused + "version 9.2.0.1, not the release's 9.2.0\n",
            SignatureVerdict::SIGNED, image([](Image& i) { i.version[3] = 1; })),
        pin("no version information", refused + "no version information\n",
            SignatureVerdict::SIGNED, image([](Image& i) { i.version_resource = false; })),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        f.shell_result = c.shell;
        if (c.signer != nullptr) f.signer = c.signer;
        f.subject = c.subject;
        f.signature = c.verdict;
        f.revocation_unchecked = c.name == std::string("its revocation status not fetched");
        const Pin pin = {"Varnel", signed_by_publisher};
        const std::string file = pe_test::image(c.file);
        if (c.write) {
            std::ofstream o(path, std::ios::binary);
            o << file;
        }
        char hex[SHA256_HEX_CAPACITY];
        sha256_digest_bytes(file.data(), file.size(), hex);
        std::string expected = hex;
        for (auto& ch : expected) ch = static_cast<char>(toupper(ch));
        if (c.expected_digest == "x") expected.back() = expected.back() == 'A' ? 'B' : 'A';
        if (c.expected_digest == "short") expected.pop_back();
        VerifyResult result = VerifyResult::TRY_NEXT_NODE;
        std::string out = capture_stdout([&] {
            result = verify_and_launch(path.c_str(), expected.c_str(), "9.2.0",
                                       c.signer != nullptr ? &pin : nullptr);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(file_exists(), c.kept);
        if (!c.write) {
            EXPECT_EQ(out,
                      "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n   校验失败: "
                      "无法读取已下载文件 / "
                      "Verify failed: cannot read downloaded file\n");
            EXPECT_TRUE(f.deleted.empty());
        }
        if (c.result == VerifyResult::LAUNCHED) {
            EXPECT_NE(out.find("Verified  SHA-256 " + expected + "\n"), std::string::npos);
        }
        if (!c.said.empty()) {
            EXPECT_NE(out.find(c.said), std::string::npos) << out;
            EXPECT_EQ(f.opened.empty(), c.result != VerifyResult::LAUNCHED);
            // Nobody may swap the file between its check and its start.
            if (c.result == VerifyResult::LAUNCHED) {
                EXPECT_EQ(f.held_at_start, std::vector<bool>{true});
            }
        }
        if (c.result == VerifyResult::LAUNCH_FAILED) {
            EXPECT_NE(out.find("(code 32)"), std::string::npos);
        }
        remove(path.c_str());
    }
}

}  // namespace
