// Both compressions against FIPS 180-4 results.
#include "fetch/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "unit/temp_path.h"

namespace {

enum class Compression { PORTABLE, ACCELERATED };

// The test data of the file tests: no short period, so a block read at the
// wrong offset changes the digest.
std::vector<uint8_t> pattern(uint64_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint64_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 167 + 13 + (i >> 9)) & 0xff);
    }
    return bytes;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size()) << path;
    }
    ASSERT_EQ(fclose(file), 0) << path;
}

std::string file_digest(const std::vector<uint8_t>& bytes) {
    const std::string path = temp_path("data");
    write_file(path, bytes);
    char out[SHA256_HEX_CAPACITY];
    memset(out, 'x', sizeof out);
    sha256_file(path.c_str(), out);
    std::remove(path.c_str());
    return std::string(out, strnlen(out, sizeof out));
}

std::string memory_digest(const void* data, uint64_t length) {
    char out[SHA256_HEX_CAPACITY];
    memset(out, 'x', sizeof out);
    sha256_digest_bytes(data, length, out);
    return std::string(out, strnlen(out, sizeof out));
}

class Sha256Test : public ::testing::TestWithParam<Compression> {
  protected:
    void SetUp() override {
        if (GetParam() == Compression::ACCELERATED) {
            if (sha256_compress_accelerated() == nullptr) {
                GTEST_SKIP() << "the processor lacks the SHA extensions";
            }
            sha256_force_portable(false);
            ASSERT_EQ(sha256_compress_selected(), sha256_compress_accelerated());
        } else {
            sha256_force_portable(true);
            ASSERT_EQ(sha256_compress_selected(), &sha256_compress_portable);
        }
    }
    void TearDown() override { sha256_force_portable(false); }
};

INSTANTIATE_TEST_SUITE_P(Compressions, Sha256Test,
                         ::testing::Values(Compression::PORTABLE, Compression::ACCELERATED),
                         [](const ::testing::TestParamInfo<Compression>& param_info) {
                             return param_info.param == Compression::PORTABLE ? "Portable"
                                                                              : "Accelerated";
                         });

struct TextCase {
    std::string message;
    const char* digest;
};

// FIPS 180-4 examples (NIST CSRC "Examples with intermediate values").
const TextCase NIST_CASES[] = {
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
     "opqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

// In memory and as files, through the compression under test ("abc" is one
// padded block).
TEST_P(Sha256Test, NistExamples) {
    for (const TextCase& c : NIST_CASES) {
        SCOPED_TRACE("message \"" + c.message.substr(0, 120) + "\", " +
                     std::to_string(c.message.size()) + " bytes");
        EXPECT_EQ(memory_digest(c.message.data(), c.message.size()), c.digest);
        EXPECT_EQ(file_digest(std::vector<uint8_t>(c.message.begin(), c.message.end())), c.digest);
    }
}

struct SizeCase {
    uint64_t size;
    const char* digest;  // of pattern(size), computed once with sha256sum
};

// Sizes around the padding cases (55, 56, 63, 0 and 1 modulo 64), around the
// 1 MiB digest buffer, and one of several reads with a short last one.
const SizeCase SIZE_CASES[] = {
    {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {1, "9d1e0e2d9459d06523ad13e28a4093c2316baafe7aec5b25f30eba2e113599c4"},
    {3, "13c425a746ac9e72be4760dd13b156260d7ad6ea6b8750fbf1c7b0d5a484b852"},
    {55, "b2ca0adc388a66d3a5a7f6541239331d5a867eede554e11262241271faaf36c5"},
    {56, "3768eff44f1df02704a832cf708935fbed9bb74d0714fbe75454c266c4e12856"},
    {57, "a35b6298adfbc5ec16dc51a8d52145daa2a68f1d66e837d85bed6783d874c5cb"},
    {63, "dc06ea9e456da9f9fc2276564018231c36196ff7745bf505fd7f503aec5c67fd"},
    {64, "b68fe543b0b5a544e32eb08712e697bfcd3a3cb491563c3b1cba112d378f4bdb"},
    {65, "587cdb9ad9be371721f2f84a84eb09f2b698ec19bbe2d7c222179996547a04a6"},
    {119, "b27b61037be684924f5497ee79c784f09c971d8c8c3136f6270e0fd34775aa1b"},
    {120, "00c666e960132985e9c99dc98bf25782df791138d0f1252b69781694ed97d693"},
    {127, "805f2702e76ff5d578052c965ded05a689d9293fd86c5584b0db399d33e9745c"},
    {128, "cd77acfc16d0964a4c3ef06f0678a5c88d2d610de00f7b997676fea5b4d2ae9e"},
    {1048575, "6675c13e1e6ed0912e7f784092f261b3cb1f423b5a6c232763f9035d0e8852f3"},
    {1048576, "6062b049c6f42227e6f450541601c9d32c489da0011a6229d84328b33a60bb6d"},
    {1048577, "a9c4b0ef36eccec7279e8b32aabff1460873bdb0a35a297d4c810b8e9cf9f5d1"},
    {3 * 1048576 + 17, "5d094bfbdc42f5f9cebd78b69c2ea80e9cd7521869642e39cfcc9046e5ba42f2"},
};

TEST_P(Sha256Test, FilesOfEverySizeClass) {
    const std::vector<uint8_t> all = pattern(3 * 1048576 + 17);
    for (const SizeCase& c : SIZE_CASES) {
        SCOPED_TRACE("size " + std::to_string(c.size) + " (" + std::to_string(c.size % 64) +
                     " mod 64)");
        const std::vector<uint8_t> bytes(all.begin(),
                                         all.begin() + static_cast<std::ptrdiff_t>(c.size));
        EXPECT_EQ(file_digest(bytes), c.digest);
        EXPECT_EQ(memory_digest(bytes.data(), bytes.size()), c.digest);
    }
}

// sha256_update carries a partial block over from one call to the next; any
// starting state shows it, so the contexts start from zeros.
bool same_context(const Sha256Context& a, const Sha256Context& b) {
    return memcmp(a.state, b.state, sizeof a.state) == 0 && a.total_bytes == b.total_bytes &&
           a.block_fill == b.block_fill &&
           memcmp(a.block, b.block, static_cast<size_t>(a.block_fill)) == 0;
}

TEST_P(Sha256Test, EverySplitIntoUpdates) {
    const std::vector<uint8_t> message = pattern(200);
    Sha256Context whole{};
    sha256_update(&whole, message.data(), message.size());
    EXPECT_EQ(whole.total_bytes, 200u);
    EXPECT_EQ(whole.block_fill, 200u % 64);
    for (uint64_t split = 0; split <= message.size(); ++split) {
        SCOPED_TRACE("pattern(200) split at " + std::to_string(split));
        Sha256Context ctx{};
        sha256_update(&ctx, message.data(), split);
        EXPECT_EQ(ctx.total_bytes, split);
        EXPECT_EQ(ctx.block_fill, split % 64);
        sha256_update(&ctx, message.data() + split, message.size() - split);
        EXPECT_TRUE(same_context(ctx, whole));
    }
    EXPECT_EQ(memory_digest(message.data(), message.size()),
              "db057a75ef112511a720d3e712bc7299cc1a3037fc53cd8fe11197fc6df0c6dc");
    // Byte by byte, each followed by an update of no bytes, which changes nothing.
    Sha256Context bytewise{};
    for (uint8_t byte : message) {
        sha256_update(&bytewise, &byte, 1);
        sha256_update(&bytewise, &byte, 0);
    }
    EXPECT_TRUE(same_context(bytewise, whole));
}

TEST_P(Sha256Test, ManyBlocksInOneCallMatchOneAtATime) {
    const std::vector<uint8_t> data = pattern(64 * 40);
    const Sha256Compress compress = sha256_compress_selected();
    for (uint64_t blocks = 0; blocks <= 40; ++blocks) {
        SCOPED_TRACE(std::to_string(blocks) + " blocks");
        uint32_t together[8];
        uint32_t apart[8];
        memcpy(together, SHA256_INITIAL_STATE, sizeof together);
        memcpy(apart, SHA256_INITIAL_STATE, sizeof apart);
        compress(together, data.data(), blocks);
        for (uint64_t i = 0; i < blocks; ++i) {
            compress(apart, data.data() + 64 * i, 1);
        }
        EXPECT_EQ(memcmp(together, apart, sizeof together), 0);
    }
}

TEST_P(Sha256Test, PathThatNamesNoFileGivesEmptyText) {
    const std::string missing[] = {
        temp_path("missing"),
        ::testing::TempDir() + "varnel-no-such-directory/installer.exe",
        "",
    };
    for (const std::string& path : missing) {
        SCOPED_TRACE("path \"" + path + "\"");
        char out[SHA256_HEX_CAPACITY];
        memset(out, 'x', sizeof out);
        sha256_file(path.c_str(), out);
        EXPECT_EQ(out[0], '\0');
    }
}

TEST(Sha256Choice, AcceleratedAndPortableAgreeOnRandomBlocks) {
    const Sha256Compress accelerated = sha256_compress_accelerated();
    if (accelerated == nullptr) {
        GTEST_SKIP() << "the processor lacks the SHA extensions";
    }
    std::mt19937_64 random(20240607);
    std::vector<uint8_t> data(64 * 33);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
        uint32_t start[8];
        for (uint32_t& word : start) word = static_cast<uint32_t>(random());
        uint32_t portable[8];
        uint32_t fast[8];
        memcpy(portable, start, sizeof start);
        memcpy(fast, start, sizeof start);
        const uint64_t blocks = 1 + static_cast<uint64_t>(round) % 33;
        sha256_compress_portable(portable, data.data(), blocks);
        accelerated(fast, data.data(), blocks);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(portable[i], fast[i]) << "word " << i << ", " << blocks << " blocks";
    }
}

TEST(Sha256Choice, ForcingPortableAndBack) {
    sha256_force_portable(true);
    EXPECT_EQ(sha256_compress_selected(), &sha256_compress_portable);
    sha256_force_portable(false);
    const Sha256Compress accelerated = sha256_compress_accelerated();
    EXPECT_EQ(sha256_compress_selected(),
              accelerated != nullptr ? accelerated : &sha256_compress_portable);
    EXPECT_EQ(sha256_compress_accelerated(), accelerated);  // decided once
}

}  // namespace
