// The stand-in's revocation lists: fetched over HTTP from the distribution
// points a chain's certificates name, with libcurl, within a deadline.
#pragma once

#include <openssl/x509.h>

#include <cstdint>

// The CRLs named by every certificate of `chain` but its last (the root),
// each fetched once, until `deadline_ms` of posix_now_ms(); a list that
// cannot be fetched, read or fetched in time is left out. Never null; the
// caller frees it with sk_X509_CRL_pop_free.
STACK_OF(X509_CRL) * posix_fetch_crls(STACK_OF(X509) * chain, uint64_t deadline_ms);
