// Any file a node serves, as the pinned stage 4 reads it before any crypto:
// the PE layout, the certificate table, the version resource, and the DER of
// a signature, its time stamp, a name and a certificate's usages. Each must
// stay inside what it was given and keep its contract.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pe/authenticode.h"
#include "pe/image.h"

namespace {
uint8_t g_der[SIGNATURE_DER_CAPACITY];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The bytes as a file, and (copied, exactly as large) as DER.
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file != nullptr) {
        PeLayout pe;
        size_t length = 0;
        uint16_t version[4];
        if (pe_layout(file, &pe)) {
            if (read_cert_table(file, pe, g_der, &length) == CertTable::SIGNATURE &&
                (length == 0 || length > size))
                abort();
            (void)pe_product_version(file, pe, version);
        }
        fclose(file);
    }
    uint8_t* der = static_cast<uint8_t*>(malloc(size + 1));
    memcpy(der, data, size);
    (void)signature_digests(der, size);
    TimeStamp stamp;
    if (signature_time_stamp(der, size, &stamp) &&
        (stamp.token.at < der || stamp.token.at + stamp.token.length > der + size))
        abort();
    char name[128];
    if (common_name(der, size, name, sizeof name) &&
        (name[0] == '\0' || strlen(name) >= sizeof name))
        abort();
    (void)certificate_usage(der, size, KeyUsage::CODE_SIGNING);
    free(der);
    return 0;
}
