// The stand-in's trust store reads its bundle on demand: it must trust
// exactly what the bundle holds, however the lookups fall.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "posix/trust.h"
#include "unit/env_guard.h"

namespace {

struct Issued {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    ASSERT_NE(ext, nullptr);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate named `cn`, signed by `issuer` (itself when null).
Issued issue(const char* cn, const Issued* issuer, bool ca, long serial) {
    Issued out;
    out.key = EVP_EC_gen("P-256");
    out.cert = X509_new();
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), 86400);
    X509_NAME* name = X509_get_subject_name(out.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer->cert : out.cert;
    X509_set_issuer_name(out.cert, X509_get_subject_name(signer));
    X509_set_pubkey(out.cert, out.key);
    add_extension(out.cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (ca) add_extension(out.cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    add_extension(out.cert, signer, NID_subject_key_identifier, "hash");
    // Tells same-named issuers apart, as real certificates do.
    if (issuer != nullptr) add_extension(out.cert, signer, NID_authority_key_identifier, "keyid");
    X509_sign(out.cert, issuer != nullptr ? issuer->key : out.key, EVP_sha256());
    return out;
}

void release(Issued* issued) {
    X509_free(issued->cert);
    EVP_PKEY_free(issued->key);
}

bool verifies(X509_STORE* store, X509* leaf, const std::vector<X509*>& sent) {
    STACK_OF(X509)* chain = sk_X509_new_null();
    for (X509* c : sent) sk_X509_push(chain, c);
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    bool ok = X509_STORE_CTX_init(ctx, store, leaf, chain) == 1 && X509_verify_cert(ctx) == 1;
    X509_STORE_CTX_free(ctx);
    sk_X509_free(chain);
    return ok;
}

TEST(PosixTrust, TrustsExactlyTheBundle) {
    Issued root = issue("Varnel Test Root", nullptr, true, 1);
    // A renewed root: the same name, another key.
    Issued renewed = issue("Varnel Test Root", nullptr, true, 2);
    Issued foreign = issue("Foreign Root", nullptr, true, 3);
    Issued intermediate = issue("Varnel Test Intermediate", &root, true, 4);
    Issued by_root = issue("node.test", &root, false, 5);
    Issued by_renewed = issue("node.test", &renewed, false, 6);
    Issued by_foreign = issue("node.test", &foreign, false, 7);
    Issued by_intermediate = issue("node.test", &intermediate, false, 8);

    char dir[] = "/tmp/varnel-trust-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string bundle = std::string(dir) + "/bundle.pem";
    std::string certs_dir = std::string(dir) + "/certs";
    EnvGuard cert_dir("SSL_CERT_DIR");
    EnvGuard cert_file("SSL_CERT_FILE");
    setenv("SSL_CERT_DIR", certs_dir.c_str(), 1);
    setenv("SSL_CERT_FILE", bundle.c_str(), 1);

    struct Case {
        const char* what;
        std::vector<X509*> bundle;  // empty: no bundle file
        X509* leaf;
        std::vector<X509*> sent;
        bool trusted;
    };
    const Case cases[] = {
        {"leaf of a bundled root", {foreign.cert, root.cert}, by_root.cert, {}, true},
        {"leaf of a root missing from the bundle", {root.cert}, by_foreign.cert, {}, false},
        {"second of two same-named roots", {root.cert, renewed.cert}, by_renewed.cert, {}, true},
        {"impostor of a bundled root's name", {root.cert}, by_renewed.cert, {}, false},
        {"intermediate sent", {root.cert}, by_intermediate.cert, {intermediate.cert}, true},
        {"intermediate not sent", {root.cert}, by_intermediate.cert, {}, false},
        {"no bundle file", {}, by_root.cert, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(bundle.c_str());
        if (!c.bundle.empty()) {
            FILE* f = fopen(bundle.c_str(), "w");
            ASSERT_NE(f, nullptr);
            fputs("text around the certificates is skipped\n", f);
            for (X509* cert : c.bundle) PEM_write_X509(f, cert);
            fclose(f);
        }
        X509_STORE* store = posix_trust_store();
        ASSERT_NE(store, nullptr);
        // The second verification meets what the first left in the store
        // and the index of the bundle's names.
        EXPECT_EQ(verifies(store, c.leaf, c.sent), c.trusted) << "first verification";
        EXPECT_EQ(verifies(store, c.leaf, c.sent), c.trusted) << "second verification";
        posix_trust_release();
        // The same answer as OpenSSL's default paths, which read it all at once.
        X509_STORE* eager = X509_STORE_new();
        ASSERT_EQ(X509_STORE_set_default_paths(eager), 1);
        EXPECT_EQ(verifies(eager, c.leaf, c.sent), c.trusted) << "whole bundle read at once";
        X509_STORE_free(eager);
    }
    unlink(bundle.c_str());
    rmdir(dir);
    for (Issued* i : {&root, &renewed, &foreign, &intermediate, &by_root, &by_renewed, &by_foreign,
                      &by_intermediate})
        release(i);
}

}  // namespace
