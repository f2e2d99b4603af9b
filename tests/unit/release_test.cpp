#include "manifest/release.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtin_manifest_bytes.h"
#include "lifted_manifests.h"
#include "manifest/fetch_manifest.h"

namespace {

const std::string D = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789AbCdEf";

bool same(const ReleaseInfo& a, const ReleaseInfo& b) {
    return strcmp(a.version, b.version) == 0 && strcmp(a.file_name, b.file_name) == 0 &&
           a.size == b.size && strcmp(a.sha256_hex, b.sha256_hex) == 0;
}

struct Accepted {
    std::string text;
    const char* version;
    const char* file_name;
    uint64_t size;
};

TEST(ParseManifest, Accepts) {
    const std::string name = "Varnel-2.0.4-windows-amd64-setup.exe";
    const std::string longest = std::string(MAX_FILE_NAME_LENGTH - 4, 'a') + ".exe";
    const Accepted cases[] = {
        {"1\n" + longest + "\n1\n" + D, "1", longest.c_str(), 1},
        {"v2.0.4\r\n" + name + "\r\n7532411\r\n" + D + "\r\n", "2.0.4", name.c_str(), 7532411},
        {"v2.0.4\n" + name + "\n7532411\n" + D, "2.0.4", name.c_str(), 7532411},
        {"v2.0.4\n" + name + "\n7532411\n" + D + "\nanything\n\x01\xff more", "2.0.4", name.c_str(),
         7532411},
        {"V10\n" + name + "\n1\n" + D, "10", name.c_str(), 1},
        {"vv2\n" + name + "\n1\n" + D, "v2", name.c_str(), 1},
        {"v0123456789abcdef\n" + name + "\n1\n" + D, "0123456789abcdef", name.c_str(), 1},
        {"2.0.4  \r \r\n" + name + "\n1\n" + D, "2.0.4", name.c_str(), 1},
        {"1\nSETUP.EXE\n1\n" + D, "1", "SETUP.EXE", 1},
        {"1\na.exe\n1\n" + D, "1", "a.exe", 1},
        {"1\n.hidden.exe\n1\n" + D, "1", ".hidden.exe", 1},
        {"1\n-x.exe\n1\n" + D, "1", "-x.exe", 1},
        {"1\na.exe\n007532411\n" + D, "1", "a.exe", 7532411},
        {"1\na.exe\n+7532411\n" + D, "1", "a.exe", 7532411},
        {"1\na.exe\n  7532411\n" + D, "1", "a.exe", 7532411},
        {"1\na.exe\n\t7532411\n" + D, "1", "a.exe", 7532411},
        {"1\na.exe\n18446744073709551615\n" + D, "1", "a.exe", UINT64_MAX},
        {"1\na.exe\n+0018446744073709551615\n" + D, "1", "a.exe", UINT64_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string buffer = c.text;
        ReleaseInfo r{};
        ASSERT_TRUE(parse_manifest(&buffer[0], &r));
        EXPECT_STREQ(r.version, c.version);
        EXPECT_STREQ(r.file_name, c.file_name);
        EXPECT_EQ(r.size, c.size);
        EXPECT_EQ(std::string(r.sha256_hex), D);
    }
}

// A refused text names the first rule it breaks, in the parser's order
// (version, file name, digest, size), and leaves the record as it was.
TEST(ParseManifest, RefusesNamingTheFirstBrokenRule) {
    using R = ManifestRule;
    const std::string a = "a.exe";
    auto with = [](const std::string& v, const std::string& f, const std::string& s,
                   const std::string& d) { return v + "\n" + f + "\n" + s + "\n" + d; };
    const struct {
        std::string text;
        ManifestRule rule;
    } cases[] = {
        {"", R::LINE_COUNT},
        {"1\na.exe\n1", R::LINE_COUNT},
        {"1\ra.exe\r1\r" + D, R::LINE_COUNT},
        {std::string("1\na.exe\0\n1\n", 12) + D, R::LINE_COUNT},
        {"1\na.exe\n1\n", R::DIGEST_LENGTH},
        {"\xEF\xBB\xBF" + with("1", a, "1", D), R::VERSION_CHARACTERS},
        {with("v", a, "1", D), R::VERSION_LENGTH},
        {with("V", a, "1", D), R::VERSION_LENGTH},
        {with("v   ", a, "1", D), R::VERSION_LENGTH},
        {with("v01234567890123456", a, "1", D), R::VERSION_LENGTH},
        {with("01234567890123456", a, "1", D), R::VERSION_LENGTH},
        {with("1 0", a, "1", D), R::VERSION_CHARACTERS},
        {with(" 1", a, "1", D), R::VERSION_CHARACTERS},
        {with("1+", a, "1", D), R::VERSION_CHARACTERS},
        {with("1\t", a, "1", D), R::VERSION_CHARACTERS},
        {with("1", ".exe", "1", D), R::FILE_NAME_LENGTH},
        {with("1", std::string(93, 'a') + ".exe", "1", D), R::FILE_NAME_LENGTH},
        {with("1", "setup.msi", "1", D), R::FILE_NAME_SUFFIX},
        {with("1", "setup.exe.zip", "1", D), R::FILE_NAME_SUFFIX},
        {with("1", "a..exe", "1", D), R::FILE_NAME_DOTS},
        {with("1", "my..setup.exe", "1", D), R::FILE_NAME_DOTS},
        {with("1", "dir/setup.exe", "1", D), R::FILE_NAME_CHARACTERS},
        {with("1", "dir\\setup.exe", "1", D), R::FILE_NAME_CHARACTERS},
        {with("1", "c:setup.exe", "1", D), R::FILE_NAME_CHARACTERS},
        {with("1", "my setup.exe", "1", D), R::FILE_NAME_CHARACTERS},
        {with("1", a, "1", D.substr(0, 63)), R::DIGEST_LENGTH},
        {with("1", a, "1", D + "a"), R::DIGEST_LENGTH},
        {with("1", a, "1", D + "\t"), R::DIGEST_LENGTH},
        {with("1", a, "1", D.substr(0, 20) + std::string(1, '\0') + D.substr(21)),
         R::DIGEST_LENGTH},
        {with("1", a, "1", D.substr(0, 63) + "g"), R::DIGEST_CHARACTERS},
        // The digest is judged before the size, whatever the line order.
        {with("1", a, "0", D.substr(0, 63)), R::DIGEST_LENGTH},
        {with("1", a, "0", D), R::SIZE},
        {with("1", a, "7532411 bytes", D), R::SIZE},
        {with("1", a, "7 532 411", D), R::SIZE},
        {with("1", a, "0x72EF7B", D), R::SIZE},
        {with("1", a, "7532411\t", D), R::SIZE},
        {with("1", a, "+", D), R::SIZE},
        {with("1", a, "", D), R::SIZE},
        // A negative or overflowing size would win the stage and fail every download.
        {with("1", a, "-1", D), R::SIZE},
        {with("1", a, " -7532411", D), R::SIZE},
        {with("1", a, "18446744073709551616", D), R::SIZE},
        {with("1", a, "99999999999999999999999", D), R::SIZE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string buffer = c.text + '\0';
        std::string again = buffer;
        ReleaseInfo r = BUILTIN_RELEASE;
        EXPECT_EQ(first_broken_rule(&buffer[0], &r), c.rule) << manifest_rule_text(c.rule);
        EXPECT_TRUE(same(r, BUILTIN_RELEASE));
        EXPECT_FALSE(parse_manifest(&again[0], &r));
    }
}

TEST(IsSafeToken, TokenSetAndLength) {
    struct Case {
        const char* text;
        int32_t max;
        bool expected;
    } cases[] = {
        {"abcXYZ019-._", 16, true}, {"", 16, false},    {"abc", 2, false},   {"abc", 3, true},
        {"a b", 16, false},         {"a/b", 16, false}, {"a\\b", 16, false}, {"a:b", 16, false},
        {"\xc3\xa9", 16, false},    {"@", 16, false},   {"[", 16, false},    {"`", 16, false},
        {"{", 16, false},           {"a", 0, false},    {"a", -1, false},    {"\x7f", 16, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(is_safe_token(c.text, c.max), c.expected);
    }
}

TEST(BuiltinRelease, SatisfiesItsOwnRules) {
    char text[512];
    snprintf(text, sizeof text, "v%s\n%s\n%llu\n%s", BUILTIN_RELEASE.version,
             BUILTIN_RELEASE.file_name, static_cast<unsigned long long>(BUILTIN_RELEASE.size),
             BUILTIN_RELEASE.sha256_hex);
    ReleaseInfo r{};
    ManifestRule rule = first_broken_rule(text, &r);
    ASSERT_EQ(rule, ManifestRule::NONE) << manifest_rule_text(rule);
    EXPECT_TRUE(same(r, BUILTIN_RELEASE));
}

// Built with -DVARNEL_BUILTIN_MANIFEST=FILE: that file keeps the rules, as
// stage 1 would receive it, and is the built-in release.
TEST(BuiltinRelease, IsTheBuildsManifestFile) {
    if (BUILTIN_MANIFEST_SIZE == 0) GTEST_SKIP() << "built without VARNEL_BUILTIN_MANIFEST";
    ASSERT_LE(BUILTIN_MANIFEST_SIZE, static_cast<unsigned>(MANIFEST_BODY_MAX))
        << "a manifest file longer than stage 1 parses";
    std::string text(BUILTIN_MANIFEST_BYTES, BUILTIN_MANIFEST_SIZE);
    ReleaseInfo r{};
    ManifestRule rule = first_broken_rule(&text[0], &r);
    ASSERT_EQ(rule, ManifestRule::NONE) << manifest_rule_text(rule);
    EXPECT_TRUE(same(r, BUILTIN_RELEASE));
}

// The build's reader of VARNEL_BUILTIN_MANIFEST lifts what the parser reads
// from the same text: one leading v dropped, the lines trimmed alike.
TEST(BuiltinRelease, TheBuildsReaderLiftsWhatTheParserReads) {
    for (const auto& m : LIFTED_MANIFESTS) {
        std::string text = m[0];
        SCOPED_TRACE(testing::PrintToString(text));
        ReleaseInfo r{};
        ASSERT_EQ(first_broken_rule(&text[0], &r), ManifestRule::NONE);
        EXPECT_EQ((std::vector<std::string>{r.version, r.file_name, std::to_string(r.size),
                                            r.sha256_hex}),
                  (std::vector<std::string>{m[1], m[2], m[3], m[4]}));
    }
}

}  // namespace
