// The stand-in's trust store: what OpenSSL's default verify paths name
// (SSL_CERT_FILE and SSL_CERT_DIR when set), with the bundle file read on
// demand. Holding the whole parsed system bundle costs about 1 MiB for the
// run's life; only the roots that connections actually reach are kept.
#pragma once

#include <openssl/x509.h>

// The shared store, made on first use; null when it cannot be made.
X509_STORE* posix_trust_store();
// Frees the store and what was learnt of the bundle; the next use reads anew.
void posix_trust_release();
