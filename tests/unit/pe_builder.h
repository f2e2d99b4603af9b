// Small PE images and DER, built byte by byte, for the rows that read a
// signature's structure and a version resource: only what the readers look at.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pe_test {

inline std::string der(uint8_t tag, const std::string& body) {
    std::string out(1, static_cast<char>(tag));
    size_t n = body.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else {
        std::string length;
        for (; n > 0; n >>= 8) length.insert(length.begin(), static_cast<char>(n & 0xff));
        out += static_cast<char>(0x80 | length.size());
        out += length;
    }
    return out + body;
}

inline std::string bytes(std::initializer_list<uint8_t> list) {
    return std::string(list.begin(), list.end());
}

inline const std::string OID_CN = bytes({0x55, 0x04, 0x03});
inline const std::string OID_O = bytes({0x55, 0x04, 0x0a});

// An X.501 Name: each attribute (type OID, string tag, value bytes) in an RDN of its own.
struct Attribute {
    std::string oid;
    uint8_t tag;
    std::string value;
};
inline std::string name(const std::vector<Attribute>& attributes) {
    std::string rdns;
    for (const Attribute& a : attributes)
        rdns += der(0x31, der(0x30, der(0x06, a.oid) + der(a.tag, a.value)));
    return der(0x30, rdns);
}
inline std::string common_name(const std::string& text) { return name({{OID_CN, 0x0c, text}}); }

// AlgorithmIdentifier of SHA-256 (2), -384, -512, or SHA-1 (0).
inline std::string digest_algorithm(int sha2) {
    std::string oid = sha2 == 0 ? bytes({0x2b, 0x0e, 0x03, 0x02, 0x1a})
                                : bytes({0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02}) +
                                      static_cast<char>(sha2);
    return der(0x30, der(0x06, oid) + der(0x05, ""));
}

// An Authenticode ContentInfo with the structure the readers walk: no real
// certificates, no real signature.
inline std::string authenticode(int file_sha2 = 1, int signer_sha2 = 1) {
    std::string spc_oid = bytes({0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04});
    std::string indirect = der(
        0x30,
        der(0x30, der(0x06, bytes({0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0f}))) +
            der(0x30, digest_algorithm(file_sha2) + der(0x04, std::string(32, '\x11'))));
    std::string content = der(0x30, der(0x06, spc_oid) + der(0xa0, indirect));
    std::string signer =
        der(0x30, der(0x02, "\x01") + der(0x30, "") + digest_algorithm(signer_sha2) +
                      der(0x30, "") + der(0x04, std::string(16, '\x22')));
    std::string signed_data = der(0x30, der(0x02, "\x01") + der(0x31, digest_algorithm(file_sha2)) +
                                            content + der(0xa0, "") + der(0x31, signer));
    return der(0x30, der(0x06, bytes({0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02})) +
                         der(0xa0, signed_data));
}

struct Image {
    bool version_resource = true;
    uint16_t version[4] = {9, 2, 0, 0};
    std::string signature = authenticode();  // "" : no certificate table
    std::string padding;                     // after the DER, inside the table (default: to 8)
    bool pad_to_8 = true;
    std::string after_table;  // bytes after the table
};

inline void put(std::string& s, size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// A PE32 image: headers, one .rsrc section at RVA 0x1000 holding a
// VS_VERSIONINFO (when asked), then the certificate table.
inline std::string image(const Image& shape) {
    std::string pe(0x400, '\0');
    pe[0] = 'M', pe[1] = 'Z';
    put(pe, 0x3c, 0x40, 4);
    pe.replace(0x40, 4, std::string("PE\0\0", 4));
    put(pe, 0x40 + 6, 1, 2);     // one section
    put(pe, 0x40 + 20, 224, 2);  // the optional header's size
    const size_t opt = 0x58;
    put(pe, opt, 0x10b, 2);
    put(pe, opt + 92, 16, 4);
    put(pe, opt + 96 + 16, shape.version_resource ? 0x1000 : 0, 4);
    put(pe, opt + 96 + 20, shape.version_resource ? 180 : 0, 4);
    const size_t section = opt + 224;
    pe.replace(section, 5, ".rsrc");
    put(pe, section + 8, 0x200, 4);
    put(pe, section + 12, 0x1000, 4);
    put(pe, section + 16, 0x200, 4);
    put(pe, section + 20, 0x200, 4);
    if (shape.version_resource) {
        const size_t r = 0x200;
        put(pe, r + 14, 1, 2), put(pe, r + 16, 16, 4), put(pe, r + 20, 0x80000018, 4);
        put(pe, r + 0x18 + 14, 1, 2), put(pe, r + 0x18 + 16, 1, 4),
            put(pe, r + 0x18 + 20, 0x80000030, 4);
        put(pe, r + 0x30 + 14, 1, 2), put(pe, r + 0x30 + 16, 0x409, 4),
            put(pe, r + 0x30 + 20, 0x48, 4);
        put(pe, r + 0x48, 0x1058, 4), put(pe, r + 0x4c, 92, 4);
        const size_t v = r + 0x58;
        put(pe, v, 92, 2), put(pe, v + 2, 52, 2), put(pe, v + 4, 0, 2);
        const char key[] = "VS_VERSION_INFO";
        for (size_t i = 0; i < sizeof key; ++i)
            put(pe, v + 6 + 2 * i, static_cast<uint8_t>(key[i]), 2);
        put(pe, v + 40, 0xfeef04bd, 4), put(pe, v + 44, 0x10000, 4);
        uint32_t ms = static_cast<uint32_t>(shape.version[0]) << 16 | shape.version[1];
        uint32_t ls = static_cast<uint32_t>(shape.version[2]) << 16 | shape.version[3];
        put(pe, v + 48, ms, 4), put(pe, v + 52, ls, 4), put(pe, v + 56, ms, 4),
            put(pe, v + 60, ls, 4);
    }
    if (shape.signature.empty()) return pe + shape.after_table;
    std::string table = shape.signature + shape.padding;
    while (shape.pad_to_8 && (8 + table.size()) % 8 != 0) table += '\0';
    std::string entry(8, '\0');
    put(entry, 0, static_cast<uint32_t>(8 + table.size()), 4);
    put(entry, 4, 0x0200, 2), put(entry, 6, 2, 2);
    put(pe, opt + 96 + 32, static_cast<uint32_t>(pe.size()), 4);
    put(pe, opt + 96 + 36, static_cast<uint32_t>(8 + table.size()), 4);
    return pe + entry + table + shape.after_table;
}

}  // namespace pe_test
