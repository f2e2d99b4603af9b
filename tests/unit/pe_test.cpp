// The portable reader of PE images and their signatures, which both builds
// run before their platform checks the signature itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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
        {"an optional header of no known kind",
         [] {
             std::string pe = head(0, 0);
             pe_test::put(pe, 0x58, 0x107, 2);
             return pe;
         }(),
         false, CertTable::NONE},
        {"fewer than five data directories",
         [] {
             std::string pe = head(0, 0);
             pe_test::put(pe, 0x58 + 92, 4, 4);
             return pe;
         }(),
         false, CertTable::NONE},
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

namespace {

// A certificate as far as certificate_usage reads it: the TBSCertificate's
// fields, then [3] Extensions when given.
std::string certificate(const std::string& extensions) {
    std::string tbs = pe_test::der(0x02, "\x01") + pe_test::der(0x30, "") + pe_test::der(0x30, "");
    if (!extensions.empty()) tbs += pe_test::der(0xa3, pe_test::der(0x30, extensions));
    return pe_test::der(0x30, pe_test::der(0x30, tbs));
}

std::string extended_key_usage(const std::vector<std::string>& purposes) {
    std::string list;
    for (const std::string& p : purposes) list += pe_test::der(0x06, p);
    return pe_test::der(0x30, pe_test::der(0x06, pe_test::bytes({0x55, 0x1d, 0x25})) +
                                  pe_test::der(0x04, pe_test::der(0x30, list)));
}

TEST(PeImage, CertificateUsage) {
    const std::string code = pe_test::bytes({0x2b, 6, 1, 5, 5, 7, 3, 3});
    const std::string stamps = pe_test::bytes({0x2b, 6, 1, 5, 5, 7, 3, 8});
    const std::string server = pe_test::bytes({0x2b, 6, 1, 5, 5, 7, 3, 1});
    const std::string any = pe_test::bytes({0x55, 0x1d, 0x25, 0x00});
    const std::string key_usage =
        pe_test::der(0x30, pe_test::der(0x06, pe_test::bytes({0x55, 0x1d, 0x0f})) +
                               pe_test::der(0x04, "\x03\x02\x07\x80"));
    struct Case {
        const char* name;
        std::string cert;
        KeyUsage usage;
        UsageSays expected;
    } cases[] = {
        {"no extensions", certificate(""), KeyUsage::CODE_SIGNING, UsageSays::ANY},
        {"other extensions only", certificate(key_usage), KeyUsage::CODE_SIGNING, UsageSays::ANY},
        {"code signing named", certificate(extended_key_usage({server, code})),
         KeyUsage::CODE_SIGNING, UsageSays::NAMED},
        {"any usage named", certificate(extended_key_usage({any})), KeyUsage::CODE_SIGNING,
         UsageSays::NAMED},
        {"servers only", certificate(key_usage + extended_key_usage({server})),
         KeyUsage::CODE_SIGNING, UsageSays::EXCLUDED},
        {"time stamping asked", certificate(extended_key_usage({stamps})), KeyUsage::TIME_STAMPING,
         UsageSays::NAMED},
        {"time stamping of a code signer", certificate(extended_key_usage({code})),
         KeyUsage::TIME_STAMPING, UsageSays::EXCLUDED},
        {"not DER", "garbage", KeyUsage::CODE_SIGNING, UsageSays::EXCLUDED},
    };
    for (const Case& c : cases) {
        const auto* der = reinterpret_cast<const uint8_t*>(c.cert.data());
        EXPECT_EQ(certificate_usage(der, c.cert.size(), c.usage), c.expected) << c.name;
    }
}

TEST(PeImage, CommonNameDecoded) {
    struct Case {
        const char* name;
        uint8_t tag;
        std::string value;
        const char* expected;  // null: refused
        size_t capacity = 64;
    } cases[] = {
        {"UTF-8", 0x0c, "Varnel \xe5\x85\xac\xe5\x8f\xb8", "Varnel \xe5\x85\xac\xe5\x8f\xb8"},
        {"printable", 0x13, "Varnel", "Varnel"},
        {"teletex as Latin-1", 0x14, "Caf\xe9", "Caf\xc3\xa9"},
        {"BMP with a surrogate pair", 0x1e, std::string("\0V\xd8\x3d\xde\x00", 6),
         "V\xf0\x9f\x98\x80"},
        {"universal", 0x1c, std::string("\0\0\0V\0\0\0a", 8), "Va"},
        {"UTF-8 with a bad continuation", 0x0c, "Varnel\xe5\x85", nullptr},
        {"UTF-8 overlong", 0x0c, "\xc0\xaf", nullptr},
        {"BMP with a lone surrogate", 0x1e, std::string("\xd8\x3d\0V", 4), nullptr},
        {"printable past ASCII", 0x13, "Caf\xe9", nullptr},
        {"an octet string", 0x04, "Varnel", nullptr},
        {"empty", 0x0c, "", nullptr},
        {"exactly filling its room", 0x0c, "Varnel", "Varnel", 7},
        {"one byte past its room", 0x0c, "Varnel", nullptr, 6},
    };
    for (const Case& c : cases) {
        const std::string name = pe_test::name({{pe_test::OID_CN, c.tag, c.value}});
        char out[64] = "left";
        bool ok = common_name(reinterpret_cast<const uint8_t*>(name.data()), name.size(), out,
                              c.capacity);
        EXPECT_EQ(ok, c.expected != nullptr) << c.name;
        EXPECT_STREQ(out, c.expected != nullptr ? c.expected : "") << c.name;
    }
}

}  // namespace
