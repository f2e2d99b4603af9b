#include "pe/image.h"

#include <sys/types.h>

#include <cstring>

#include "pe/der.h"

namespace {

constexpr size_t HEAD_BYTES = 4096;
constexpr uint32_t RT_VERSION = 16;
// Far more than an image has; a directory past it is not read through.
constexpr uint32_t RESOURCE_ENTRY_LIMIT = 4096;
constexpr uint32_t SECTION_LIMIT = 96;

uint32_t le16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool seek(FILE* file, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

int64_t file_length(FILE* file) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
    return _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return ftello(file);
#endif
}

// Exactly `n` bytes at `offset`, which must end by `limit`.
bool read_at(FILE* file, uint64_t offset, uint64_t limit, void* out, size_t n) {
    return offset <= limit && n <= limit - offset && seek(file, offset) &&
           fread(out, 1, n, file) == n;
}

}  // namespace

bool pe_layout(FILE* file, PeLayout* pe) {
    uint8_t head[HEAD_BYTES];
    int64_t size = file_length(file);
    if (size < 0 || !seek(file, 0)) return false;
    size_t n = fread(head, 1, sizeof head, file);
    if (n < 64 || head[0] != 'M' || head[1] != 'Z') return false;
    uint64_t pe_at = le32(head + 0x3c);
    if (pe_at + 24 > n || memcmp(head + pe_at, "PE\0\0", 4) != 0) return false;
    uint64_t optional = pe_at + 24;
    uint64_t optional_end = optional + le16(head + pe_at + 20);
    if (optional + 2 > n) return false;
    uint32_t magic = le16(head + optional);
    uint64_t dirs = magic == 0x20b ? optional + 112 : magic == 0x10b ? optional + 96 : 0;
    if (dirs == 0 || dirs + 40 > optional_end || dirs + 40 > n || le32(head + dirs - 4) < 5)
        return false;
    pe->file_size = static_cast<uint64_t>(size);
    pe->checksum_at = optional + 64;
    pe->cert_entry_at = dirs + 32;
    pe->cert_at = le32(head + dirs + 32);
    pe->cert_size = le32(head + dirs + 36);
    pe->resource_rva = le32(head + dirs + 16);
    pe->resource_size = le32(head + dirs + 20);
    pe->sections_at = optional_end;
    pe->section_count = le16(head + pe_at + 6);
    return true;
}

namespace {

// After the DER, up to the table's end: fewer than 8 bytes, all zero.
CertTable padding_after(FILE* file, const PeLayout& pe, uint64_t der_end) {
    uint64_t padding = pe.cert_size - der_end;
    if (padding >= 8) return CertTable::HIDDEN;
    uint8_t tail[8];
    if (!read_at(file, pe.cert_at + der_end, pe.file_size, tail, padding)) return CertTable::BROKEN;
    for (uint64_t i = 0; i < padding; ++i)
        if (tail[i] != 0) return CertTable::HIDDEN;
    return CertTable::SIGNATURE;
}

}  // namespace

CertTable read_cert_table(FILE* file, const PeLayout& pe, uint8_t* der, size_t* length) {
    *length = 0;
    if (pe.cert_size == 0) return CertTable::NONE;
    if (pe.cert_size < 16 || pe.cert_at > pe.file_size || pe.cert_size > pe.file_size - pe.cert_at)
        return CertTable::BROKEN;
    if (pe.cert_at + pe.cert_size != pe.file_size) return CertTable::HIDDEN;
    // WIN_CERTIFICATE: length, revision 2.0, type PKCS#7 SignedData; then the DER.
    uint8_t entry[8];
    uint8_t header[6];
    uint8_t tag = 0;
    size_t header_size = 0;
    size_t body_size = 0;
    if (!read_at(file, pe.cert_at, pe.file_size, entry, sizeof entry) ||
        !read_at(file, pe.cert_at + 8, pe.file_size, header, sizeof header) ||
        le16(entry + 4) != 0x0200 || le16(entry + 6) != 2 ||
        !der_header(header, sizeof header, &tag, &header_size, &body_size) || tag != DER_SEQUENCE ||
        body_size > pe.cert_size - 8 - header_size)
        return CertTable::BROKEN;
    const uint64_t der_size = header_size + body_size;
    uint64_t der_end = 8 + der_size;
    CertTable padding = padding_after(file, pe, der_end);
    if (padding != CertTable::SIGNATURE) return padding;
    uint32_t entry_length = le32(entry);
    if (entry_length < der_end || entry_length > pe.cert_size ||
        der_size > SIGNATURE_DER_CAPACITY ||
        !read_at(file, pe.cert_at + 8, pe.file_size, der, der_size))
        return CertTable::BROKEN;
    *length = der_size;
    return CertTable::SIGNATURE;
}

namespace {

// The file offset of `size` bytes at `rva`, inside one section's raw data
// and before the certificate table; false when they are not all there.
bool rva_offset(FILE* file, const PeLayout& pe, uint32_t rva, uint32_t size, uint64_t* offset) {
    uint64_t limit = pe.cert_size != 0 && pe.cert_at < pe.file_size ? pe.cert_at : pe.file_size;
    uint32_t count = pe.section_count < SECTION_LIMIT ? pe.section_count : SECTION_LIMIT;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t section[40];
        if (!read_at(file, pe.sections_at + 40ull * i, pe.file_size, section, sizeof section))
            return false;
        uint32_t address = le32(section + 12);
        uint32_t raw_size = le32(section + 16);
        uint64_t raw_at = le32(section + 20);
        if (rva < address || rva - address >= raw_size) continue;
        uint64_t at = raw_at + (rva - address);
        if (size > raw_size - (rva - address) || at > limit || size > limit - at) return false;
        *offset = at;
        return true;
    }
    return false;
}

// `n` bytes at `rva` of the image, as rva_offset finds them.
bool read_rva(FILE* file, const PeLayout& pe, uint32_t rva, void* out, uint32_t n) {
    uint64_t at = 0;
    return rva_offset(file, pe, rva, n, &at) && read_at(file, at, pe.file_size, out, n);
}

constexpr uint32_t SUBDIRECTORY = 0x80000000u;

// The first version resource's data: its RVA and size. The resource tree's
// three levels: the type RT_VERSION, its first name, that name's first
// language, which leads to the data entry.
bool version_data(FILE* file, const PeLayout& pe, uint32_t* rva, uint32_t* size) {
    const uint32_t root = pe.resource_rva;
    uint32_t directory = 0;  // from the root
    for (int level = 0; level < 3; ++level) {
        uint8_t header[16];
        if (!read_rva(file, pe, root + directory, header, sizeof header)) return false;
        uint32_t count = le16(header + 12) + le16(header + 14);
        if (count > RESOURCE_ENTRY_LIMIT) count = RESOURCE_ENTRY_LIMIT;
        bool found = false;
        uint32_t next = 0;
        for (uint32_t i = 0; i < count && !found; ++i) {
            uint8_t entry[8];
            if (!read_rva(file, pe, root + directory + 16 + 8 * i, entry, sizeof entry))
                return false;
            found = level > 0 || le32(entry) == RT_VERSION;
            next = le32(entry + 4);
        }
        if (!found || ((next & SUBDIRECTORY) != 0) == (level == 2)) return false;
        directory = next & ~SUBDIRECTORY;
    }
    uint8_t data_entry[16];
    if (!read_rva(file, pe, root + directory, data_entry, sizeof data_entry)) return false;
    *rva = le32(data_entry);
    *size = le32(data_entry + 4);
    return true;
}

}  // namespace

bool pe_product_version(FILE* file, const PeLayout& pe, uint16_t (&version)[4]) {
    // VS_VERSIONINFO: three WORDs, L"VS_VERSION_INFO", padding to 4 bytes,
    // then VS_FIXEDFILEINFO.
    static const char KEY[] = "VS_VERSION_INFO";
    constexpr uint32_t FIXED_AT = 40;
    constexpr uint32_t FIXED_SIZE = 52;
    uint8_t info[FIXED_AT + FIXED_SIZE];
    uint32_t rva = 0;
    uint32_t size = 0;
    if (pe.resource_rva == 0 || !version_data(file, pe, &rva, &size) || size < sizeof info ||
        !read_rva(file, pe, rva, info, sizeof info))
        return false;
    if (le16(info) < sizeof info || le16(info + 2) < FIXED_SIZE || le16(info + 4) != 0)
        return false;
    for (size_t i = 0; i < sizeof KEY; ++i)
        if (le16(info + 6 + 2 * i) != static_cast<uint8_t>(KEY[i])) return false;
    const uint8_t* fixed = info + FIXED_AT;
    if (le32(fixed) != 0xfeef04bdu) return false;
    uint32_t ms = le32(fixed + 16);
    uint32_t ls = le32(fixed + 20);
    version[0] = static_cast<uint16_t>(ms >> 16);
    version[1] = static_cast<uint16_t>(ms);
    version[2] = static_cast<uint16_t>(ls >> 16);
    version[3] = static_cast<uint16_t>(ls);
    return true;
}
