#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "unit/fake_platform.h"

namespace {

TEST(NativePlatform, Utf8ToUtf16) {
    struct Case {
        const char* text;
        std::u16string expected;
    } cases[] = {
        {"", u""},
        {"github.com", u"github.com"},
        {"节点A/Node A", u"节点A/Node A"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xF0\x90\x80\x80/", u"\U00010000/"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        // Malformed: U+FFFD, as many as MultiByteToWideChar gives (Wine 8).
        // clang-format off
        {"a\xC0\xAFz", u"a\uFFFD\uFFFDz"},                // overlong "/"
        {"a\xE0\x80\xAFz", u"a\uFFFD\uFFFDz"},            // overlong "/"
        {"a\xED\xA0\x80z", u"a\uFFFD\uFFFDz"},            // lone surrogate U+D800
        {"a\xF4\x90\x80\x80z", u"a\uFFFD\uFFFD\uFFFDz"},  // U+110000
        {"a\xE2\x82", u"a\uFFFD"},                        // cut by the end
        {"a\x80\xFFz", u"a\uFFFD\uFFFDz"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        char16_t out[64];
        int units = native_platform().utf8_to_utf16(c.text, out, 64);
        EXPECT_EQ(units, static_cast<int>(c.expected.size() + 1));
        EXPECT_EQ(std::u16string(out), c.expected);
    }
    char16_t small[4];
    EXPECT_EQ(native_platform().utf8_to_utf16("too long", small, 4), 0);
}

TEST(NativePlatform, ClockDoesNotGoBackwards) {
    uint64_t last = native_platform().tick_count_ms();
    for (int i = 0; i < 1000; ++i) {
        uint64_t now = native_platform().tick_count_ms();
        EXPECT_GE(now, last);
        last = now;
    }
}

TEST(NativePlatform, DeleteFileRemovesAndIgnoresMissing) {
    std::string path = testing::TempDir() + "varnel-delete-test.bin";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    native_platform().delete_file(path.c_str());
    EXPECT_EQ(fopen(path.c_str(), "rb"), nullptr);
    native_platform().delete_file(path.c_str());  // missing: no effect, no crash
}

TEST(NativePlatform, TempPathEndsWithSeparatorAndFitsOrFails) {
    char dir[261];
    uint32_t length = native_platform().get_temp_path(sizeof dir, dir);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof dir);
    char last = dir[length - 1];
    EXPECT_TRUE(last == '/' || last == '\\') << dir;
    char tiny[2];
    EXPECT_EQ(native_platform().get_temp_path(sizeof tiny, tiny), 0u);
}

}  // namespace
