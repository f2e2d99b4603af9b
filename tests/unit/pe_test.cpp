// The portable reader of PE images and their signatures, which both builds
// run before their platform checks the signature itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "pe/authenticode.h"
#include "pe/image.h"
#include "unit/pe_builder.h"
#include "unit/temp_path.h"

namespace {

std::string head(uint32_t cert_at, uint32_t cert_size) {
    pe_test::Image image;
    image.signature = "";
    std::string pe = pe_test::image(image);
    pe_test::put(pe, 0x58 + 96 + 32, cert_at, 4);
    pe_test::put(pe, 0x58 + 96 + 36, cert_size, 4);
    return pe;
}

TEST(PeImage, CertificateTable) {
    const std::string der = pe_test::authenticode();
    const std::string entry = std::string("\0\0\0\0\0\x02\x02\0", 8);
    auto table = [&](uint32_t length, uint16_t revision, const std::string& after) {
        std::string t = entry;
        pe_test::put(t, 0, length, 4);
        pe_test::put(t, 4, revision, 2);
        return t + der + after;
    };
    const uint32_t at = static_cast<uint32_t>(head(0, 0).size());
    const uint32_t whole = static_cast<uint32_t>(8 + der.size());
    struct Case {
        const char* name;
        std::string file;
        bool pe;
        CertTable expected;
    } cases[] = {
        {"not a PE image", "plain text, no MZ", false, CertTable::NONE},
        {"no certificate table", head(0, 0), true, CertTable::NONE},
        {"one signature ending the file", head(at, whole) + table(whole, 0x200, ""), true,
         CertTable::SIGNATURE},
        {"a table not at the end", head(at, whole) + table(whole, 0x200, "") + "tail", true,
         CertTable::HIDDEN},
        {"a table past the end", head(at, whole + 64) + table(whole, 0x200, ""), true,
         CertTable::BROKEN},
        {"a table shorter than its header", head(at, 4) + "abcd", true, CertTable::BROKEN},
        {"revision 1", head(at, whole) + table(whole, 0x100, ""), true, CertTable::BROKEN},
        {"an entry shorter than its signature", head(at, whole) + table(whole - 1, 0x200, ""), true,
         CertTable::BROKEN},
        {"7 zero bytes after it",
         head(at, whole + 7) + table(whole + 7, 0x200, std::string(7, '\0')), true,
         CertTable::SIGNATURE},
        {"8 zero bytes after it",
         head(at, whole + 8) + table(whole + 8, 0x200, std::string(8, '\0')), true,
         CertTable::HIDDEN},
        {"no DER inside", head(at, 16) + entry + "notpkcs7", true, CertTable::BROKEN},
    };
    for (const Case& c : cases) {
        // A file of its own: Windows' tmpfile names collide across processes.
        const std::string path = temp_path("image");
        FILE* file = fopen(path.c_str(), "w+b");
        ASSERT_NE(file, nullptr);
        fwrite(c.file.data(), 1, c.file.size(), file);
        PeLayout pe;
        ASSERT_EQ(pe_layout(file, &pe), c.pe) << c.name;
        uint8_t out[SIGNATURE_DER_CAPACITY];
        size_t length = 1;
        CertTable table = c.pe ? read_cert_table(file, pe, out, &length) : CertTable::NONE;
        EXPECT_EQ(table, c.expected) << c.name;
        EXPECT_EQ(length, table == CertTable::SIGNATURE ? der.size() : c.pe ? 0 : 1) << c.name;
        fclose(file);
        remove(path.c_str());
    }
}

}  // namespace
