// A trust store as exact as OpenSSL's default verify paths at a fraction of
// their resident memory (see posix/trust.h): the bundle is read through on
// demand, never held parsed.
#include "posix/trust.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdlib>

namespace {

// Far more certificates than any system bundle holds; past it every lookup
// reads the bundle, which is slower but no less exact.
constexpr int INDEX_CAPACITY = 2048;

// The subject hashes of the bundle's certificates, noted on its first read,
// so a name the bundle lacks (a server's intermediate, asked for on every
// handshake) is answered without reading it again.
struct BundleIndex {
    bool built;
    bool overflow;
    int count;
    unsigned long hashes[INDEX_CAPACITY];
};

X509_STORE* g_store = nullptr;
X509_LOOKUP_METHOD* g_bundle_method = nullptr;
BundleIndex g_index;

const char* bundle_path() {
    const char* path = getenv(X509_get_default_cert_file_env());
    return path != nullptr ? path : X509_get_default_cert_file();
}

bool name_hash(const X509_NAME* name, unsigned long* hash) {
    int ok = 0;
    *hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    return ok == 1;
}

bool maybe_in_bundle(const X509_NAME* name) {
    if (!g_index.built || g_index.overflow) return true;
    unsigned long hash = 0;
    if (!name_hash(name, &hash)) return true;
    for (int i = 0; i < g_index.count; ++i)
        if (g_index.hashes[i] == hash) return true;
    return false;
}

void note_subject(const X509_NAME* name) {
    unsigned long hash = 0;
    if (!name_hash(name, &hash) || g_index.count == INDEX_CAPACITY) {
        g_index.overflow = true;
        return;
    }
    g_index.hashes[g_index.count++] = hash;
}

// Reads the bundle once through: every certificate named `wanted` goes into
// the store (kept there, so the name is not looked up again) and the first
// into `ret`. A bundle that cannot be opened trusts nothing, as with the
// default paths.
int find_in_bundle(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* wanted,
                   X509_OBJECT* ret) {
    if (type != X509_LU_X509 || wanted == nullptr || !maybe_in_bundle(wanted)) return 0;
    X509_STORE* store = X509_LOOKUP_get_store(lookup);
    bool indexing = !g_index.built;
    int found = 0;
    BIO* in = BIO_new_file(bundle_path(), "r");
    if (in != nullptr) {
        while (X509* cert = PEM_read_bio_X509_AUX(in, nullptr, nullptr, nullptr)) {
            const X509_NAME* subject = X509_get_subject_name(cert);
            if (indexing) note_subject(subject);
            if (X509_NAME_cmp(subject, wanted) == 0 && X509_STORE_add_cert(store, cert) == 1 &&
                found == 0 && X509_OBJECT_set1_X509(ret, cert) == 1) {
                // The caller takes its own reference and never frees `ret`'s;
                // the store's reference keeps the certificate alive.
                X509_free(cert);
                found = 1;
            }
            X509_free(cert);
        }
        BIO_free(in);
    }
    g_index.built = true;
    // The end of the file reads as an error.
    ERR_clear_error();
    return found;
}

}  // namespace

X509_STORE* posix_trust_store() {
    if (g_store != nullptr) return g_store;
    if (g_bundle_method == nullptr) {
        g_bundle_method = X509_LOOKUP_meth_new("bundle read on demand");
        if (g_bundle_method == nullptr ||
            X509_LOOKUP_meth_set_get_by_subject(g_bundle_method, find_in_bundle) != 1) {
            posix_trust_release();
            return nullptr;
        }
    }
    X509_STORE* store = X509_STORE_new();
    // The bundle first, as the default paths load it before the directory.
    if (store == nullptr || X509_STORE_add_lookup(store, g_bundle_method) == nullptr) {
        X509_STORE_free(store);
        return nullptr;
    }
    X509_LOOKUP* dir = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    if (dir == nullptr) {
        X509_STORE_free(store);
        return nullptr;
    }
    // Like the default paths, a directory that is not there leaves only the bundle.
    (void)X509_LOOKUP_add_dir(dir, nullptr, X509_FILETYPE_DEFAULT);
    ERR_clear_error();
    g_store = store;
    return g_store;
}

void posix_trust_release() {
    X509_STORE_free(g_store);
    g_store = nullptr;
    X509_LOOKUP_meth_free(g_bundle_method);
    g_bundle_method = nullptr;
    g_index = BundleIndex{};
}
