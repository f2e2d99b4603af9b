// The stand-in's trust store: what OpenSSL's default verify paths name
// (SSL_CERT_FILE and SSL_CERT_DIR when set), with the bundle file read on
// demand. It exists to keep resident memory down: the default paths hold
// the whole parsed system bundle, about 1 MiB, for the run's life, as much
// as the bench allows a 1 GiB download above a small one; here only the
// roots that connections actually reach are kept.
#pragma once

#include <openssl/x509.h>

// The shared store, made on first use; null when it cannot be made.
X509_STORE* posix_trust_store();
// Frees the store and what was learnt of the bundle; the next use reads anew.
void posix_trust_release();
