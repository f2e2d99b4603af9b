// The fixture installer generator against the built-in release (Issue 2).
#include "fixture/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fetch/sha256.h"
#include "manifest/release.h"

namespace {

std::string temp_path(const std::string& stem) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    std::random_device random;
    return ::testing::TempDir() + "varnel_" + name + "_" + stem + "_" + std::to_string(random()) +
           ".bin";
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return bytes;
    }
    uint8_t chunk[65536];
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) != 0) {
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
    fclose(file);
    return bytes;
}

std::string lower(const char* text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string hex(const uint8_t* bytes, size_t length) {
    std::string result;
    char two[3];
    for (size_t i = 0; i < length; ++i) {
        snprintf(two, sizeof two, "%02x", static_cast<unsigned>(bytes[i]));
        result += two;
    }
    return result;
}

class FixtureTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!GetParam() && sha256_compress_accelerated() == nullptr) {
            GTEST_SKIP() << "the processor lacks the SHA extensions";
        }
        sha256_force_portable(GetParam());
    }
    void TearDown() override { sha256_force_portable(false); }
};

INSTANTIATE_TEST_SUITE_P(Compressions, FixtureTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                             return param_info.param ? "Portable" : "Accelerated";
                         });

TEST_P(FixtureTest, DefaultFixtureIsTheBuiltinReleasesInstaller) {
    const std::string path = temp_path("installer");
    ASSERT_TRUE(write_fixture(path.c_str()));
    EXPECT_EQ(read_file(path).size(), FIXTURE_SIZE);

    char digest[65];
    sha256_file(path.c_str(), digest);
    std::remove(path.c_str());
    EXPECT_STREQ(digest, FIXTURE_SHA256_HEX);
    EXPECT_STREQ(digest, "9244397c38a76a83c240331671f3ddbc35647737f471f1ac9cfbf0854d725c9a");
    EXPECT_EQ(digest, lower(BUILTIN_RELEASE.sha256_hex));
    EXPECT_EQ(BUILTIN_RELEASE.size, FIXTURE_SIZE);
}

TEST_P(FixtureTest, PiecesAreDigestsOfPrefixAndLittleEndianCounter) {
    const uint64_t ks[] = {0, 1, 255, 256, 65537, 0x0102030405060708ull};
    for (uint64_t k : ks) {
        SCOPED_TRACE("k = " + std::to_string(k));
        uint8_t message[32];
        memcpy(message, "varnel-fixture-installer", 24);
        for (int i = 0; i < 8; ++i) message[24 + i] = static_cast<uint8_t>(k >> (8 * i));
        char expected[65];
        sha256_digest_bytes(message, sizeof message, expected);
        uint8_t piece[32];
        fixture_piece(k, piece);
        EXPECT_EQ(hex(piece, sizeof piece), expected);
    }
    uint8_t first[32];
    fixture_piece(0, first);
    EXPECT_EQ(hex(first, sizeof first),
              "76576c204a1f052285febecba2195fb30cb6d0a3ae36346247f37ba5002d89b6");
}

TEST_P(FixtureTest, AnySizeIsTheSamePrefix) {
    const std::string full_path = temp_path("full");
    const uint64_t full_size = 2 * 1048576 + 100;  // more than one write buffer
    ASSERT_TRUE(write_fixture(full_path.c_str(), full_size));
    const std::vector<uint8_t> full = read_file(full_path);
    std::remove(full_path.c_str());
    ASSERT_EQ(full.size(), full_size);

    const uint64_t sizes[] = {0, 1, 31, 32, 33, 1048575, 1048576, 1048577, full_size};
    for (uint64_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string path = temp_path("cut");
        ASSERT_TRUE(write_fixture(path.c_str(), size));
        const std::vector<uint8_t> cut = read_file(path);
        std::remove(path.c_str());
        ASSERT_EQ(cut.size(), size);
        EXPECT_TRUE(std::equal(cut.begin(), cut.end(), full.begin()));
    }

    const std::string path33 = temp_path("33");
    ASSERT_TRUE(write_fixture(path33.c_str(), 33));
    char digest[65];
    sha256_file(path33.c_str(), digest);
    std::remove(path33.c_str());
    EXPECT_STREQ(digest, "ad7c84cbcbee5a74731276bd12d909b80ba7078a1fe94c1fabfd00771d31c3b7");
}

TEST(Fixture, UnwritablePathFails) {
    const std::string path = ::testing::TempDir() + "varnel-no-such-directory/fixture.bin";
    EXPECT_FALSE(write_fixture(path.c_str(), 100));
}

}  // namespace
