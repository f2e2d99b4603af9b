#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "posix/text.h"
#include "unit/env_guard.h"
#include "unit/pe_builder.h"

namespace {

// The HTTP stand-in's way from the seam's UTF-16 text to libcurl's UTF-8.
TEST(PosixPlatform, Utf16ToUtf8) {
    struct Case {
        std::u16string text;
        size_t capacity;
        const char* expected;  // nullptr: does not fit
    } cases[] = {
        {u"test-agent/1", 13, "test-agent/1"},
        {u"test-agent/1", 12, nullptr},
        {u"\u00e9\u20ac", 6, "\xc3\xa9\xe2\x82\xac"},
        {u"\U0001F600", 5, "\xf0\x9f\x98\x80"},
        {u"\U0001F600", 4, nullptr},
        // Lone surrogates.
        {std::u16string(1, char16_t(0xD83D)) + u"a", 5, "\xef\xbf\xbd\x61"},
        {std::u16string(1, char16_t(0xDE00)), 4, "\xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        char out[16];
        std::string shown(c.text.begin(), c.text.end());
        bool fits = posix_utf16_to_utf8(c.text.c_str(), out, c.capacity);
        EXPECT_EQ(fits, c.expected != nullptr) << shown << " capacity " << c.capacity;
        if (fits && c.expected != nullptr) {
            EXPECT_STREQ(out, c.expected) << shown;
        }
    }
}

TEST(PosixPlatform, TempDirectoryFromTmpdir) {
    EnvGuard guard("TMPDIR");
    struct Case {
        const char* tmpdir;  // nullptr: unset
        uint32_t capacity;
        std::string expected;  // "" : length 0
    } cases[] = {
        {nullptr, 261, "/tmp/"},
        {"", 261, "/tmp/"},
        {"/var/tmp", 261, "/var/tmp/"},
        {"/var/tmp/", 261, "/var/tmp/"},
        {"/", 261, "/"},
        {"/abc", 6, "/abc/"},  // 5 characters and the terminator fit
        {"/abc", 5, ""},
        {"/abc/", 5, ""},
    };
    std::string long_dir = "/" + std::string(300, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tmpdir ? c.tmpdir : "(unset)");
        if (c.tmpdir)
            setenv("TMPDIR", c.tmpdir, 1);
        else
            unsetenv("TMPDIR");
        char buffer[400];
        uint32_t length = native_platform().get_temp_path(c.capacity, buffer);
        if (c.expected.empty()) {
            EXPECT_EQ(length, 0u);
        } else {
            ASSERT_EQ(length, c.expected.size());
            EXPECT_EQ(std::string(buffer), c.expected);
        }
    }
    setenv("TMPDIR", long_dir.c_str(), 1);
    char buffer[261];
    EXPECT_EQ(native_platform().get_temp_path(sizeof buffer, buffer), 0u);
}

// A recording xdg-open first on PATH decides what the shell reports.
TEST(PosixPlatform, ShellOpenThroughXdgOpen) {
    EnvGuard guard("PATH");
    std::string bin = testing::TempDir() + "varnel-shell-test";
    mkdir(bin.c_str(), 0700);
    std::string script = bin + "/xdg-open";
    std::string record = bin + "/record";
    struct Case {
        int status;
        bool present;
        bool above_32;
        uintptr_t code;
    } cases[] = {{0, true, true, 0},
                 {2, true, false, 2},
                 {1, true, false, 31},
                 {4, true, false, 31},
                 {0, false, false, 31}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        remove(script.c_str());
        remove(record.c_str());
        if (c.present) {
            std::ofstream s(script);
            s << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" << record << "'\nexit " << c.status
              << "\n";
            s.close();
            chmod(script.c_str(), 0700);
        }
        setenv("PATH", (bin + ":/nonexistent").c_str(), 1);
        uintptr_t result = native_platform().shell_open("/tmp/dir with space/Setup.exe");
        if (c.above_32) {
            EXPECT_GT(result, 32u);
        } else {
            EXPECT_EQ(result, c.code);
        }
        if (c.present) {
            std::ifstream in(record);
            std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(got, "1|/tmp/dir with space/Setup.exe");
        }
    }
    remove(script.c_str());
    remove(record.c_str());
    rmdir(bin.c_str());
}

// What the signature stand-in makes of what it cannot take as a signed
// image; the table's own structure is the portable reader's (PeImage), and a
// valid signature is checked end to end with a real signer.
TEST(PosixPlatform, SignatureOfUnsignedOrBrokenImages) {
    pe_test::Image unsigned_image;
    unsigned_image.signature = "";
    struct Case {
        const char* name;
        std::string file;
        std::string signature;
        SignatureVerdict expected;
    } cases[] = {
        {"not a PE image", "plain text, no MZ", pe_test::authenticode(),
         SignatureVerdict::NOT_SIGNED},
        {"no PKCS#7", pe_test::image(unsigned_image), "notpkcs7", SignatureVerdict::ALTERED},
        {"a signature of nothing real", pe_test::image(unsigned_image), pe_test::authenticode(),
         SignatureVerdict::ALTERED},
    };
    for (const Case& c : cases) {
        FILE* file = tmpfile();
        ASSERT_NE(file, nullptr);
        fwrite(c.file.data(), 1, c.file.size(), file);
        SignerFacts signer;
        signer.subject_length = 7;
        const auto* der = reinterpret_cast<const uint8_t*>(c.signature.data());
        EXPECT_EQ(platform().check_signature(file, "x.exe", der,
                                             static_cast<uint32_t>(c.signature.size()), &signer),
                  c.expected)
            << c.name;
        EXPECT_EQ(signer.subject_length, 0u) << c.name;
        fclose(file);
    }
}

}  // namespace
