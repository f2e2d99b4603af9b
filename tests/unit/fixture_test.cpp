// The fixture installer generator against the built-in release.
#include "fixture/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "fetch/sha256.h"
#include "manifest/release.h"
#include "unit/temp_path.h"

namespace {

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

    char digest[SHA256_HEX_CAPACITY];
    sha256_file(path.c_str(), digest);
    std::remove(path.c_str());
    EXPECT_STREQ(digest, FIXTURE_SHA256_HEX);
    EXPECT_EQ(digest, lower(BUILTIN_RELEASE.sha256_hex));
    EXPECT_EQ(BUILTIN_RELEASE.size, FIXTURE_SIZE);
}

// Piece k is the digest of the prefix and k as 8 little-endian bytes; the
// e2e suite builds the same bytes in Python (hashlib), where these come from.
TEST_P(FixtureTest, PiecesAreDigestsOfPrefixAndLittleEndianCounter) {
    struct Case {
        uint64_t k;
        const char* piece;
    } cases[] = {
        {0, "76576c204a1f052285febecba2195fb30cb6d0a3ae36346247f37ba5002d89b6"},
        {1, "da292eeddb29bf9f18d68c5d69195aef262c96dd9583198cfed25c9d1e018abe"},
        {256, "ede1292151fc6df0ec21133e5b3e7fd964879d8cefe7912b5aa51487aefcc034"},
        {0x0102030405060708ull, "5fbeaa00b1a13416e287fa7793210d48314af0857c4b3ce16203abb64f40575c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("k = " + std::to_string(c.k));
        uint8_t piece[32];
        fixture_piece(c.k, piece);
        EXPECT_EQ(hex(piece, sizeof piece), c.piece);
    }
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
    char digest[SHA256_HEX_CAPACITY];
    sha256_file(path33.c_str(), digest);
    std::remove(path33.c_str());
    EXPECT_STREQ(digest, "ad7c84cbcbee5a74731276bd12d909b80ba7078a1fe94c1fabfd00771d31c3b7");
}

TEST(Fixture, UnwritablePathFails) {
    const std::string path = ::testing::TempDir() + "varnel-no-such-directory/fixture.bin";
    EXPECT_FALSE(write_fixture(path.c_str(), 100));
}

}  // namespace
