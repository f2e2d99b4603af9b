// A PE image as Authenticode and the version resource see it, read from the
// file with the same code on both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct PeLayout {
    uint64_t file_size;
    uint64_t checksum_at;    // the optional header's CheckSum field
    uint64_t cert_entry_at;  // the certificate table's data directory entry
    uint64_t cert_at;        // the table itself, a file offset; size 0 when unsigned
    uint64_t cert_size;
    uint32_t resource_rva;  // the resource directory; 0 when there is none
    uint32_t resource_size;
    uint64_t sections_at;  // the section table
    uint32_t section_count;
};

// False when the file is no PE image with a certificate table entry; reads
// from its start, its position afterwards is any.
bool pe_layout(FILE* file, PeLayout* pe);

// What the certificate table holds, as the installer takes it.
enum class CertTable {
    SIGNATURE,  // one PKCS#7 signature, at most 7 zero bytes after it, at the file's end
    NONE,       // no table
    HIDDEN,     // bytes beside the signature: after it in the table, or after the table
    BROKEN,     // a table or entry that cannot be read as one signature
};

// Room for a signature with its chain and a time stamp, many times over.
inline constexpr size_t SIGNATURE_DER_CAPACITY = 65536;

// Reads the table of `pe` from `file`; SIGNATURE puts the signature's DER
// (a PKCS#7 ContentInfo) into `der`, `*length` bytes. A signature past
// SIGNATURE_DER_CAPACITY is BROKEN.
CertTable read_cert_table(FILE* file, const PeLayout& pe, uint8_t* der, size_t* length);

// The four numbers of the fixed product version in the image's version
// resource (RT_VERSION); false when there is none or it cannot be read
// within the image's sections.
bool pe_product_version(FILE* file, const PeLayout& pe, uint16_t (&version)[4]);
