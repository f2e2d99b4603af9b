#pragma once

#include <cstdint>
#include <cstdio>

enum class VerifyResult { LAUNCHED, LAUNCH_FAILED, TRY_NEXT_NODE };

// A build's pinned publisher, whose release alone stage 4 starts. The check
// is reached through here, never called by name, so that a program built
// with no publisher carries none of it.
struct PinCheck;
struct Pin {
    const char* publisher;  // the signer's common name, non-empty
    // signed_by_publisher, or a test's stand-in.
    bool (*holds)(FILE* held, const char* installer_path, const char* publisher,
                  const char* release_version, PinCheck* check);
};

// Stage 4: digests the file and compares it with the expected digest (any
// case). A match is started through the shell: LAUNCHED, or LAUNCH_FAILED
// with the hint to run it by hand. An unreadable file (kept) or a mismatch
// (deleted) gives TRY_NEXT_NODE. With a `pin` (non-null), the file is held
// open from the digest to the start, and a match that the pin refuses for
// the release `release_version` is deleted too, for TRY_NEXT_NODE. Prints
// the stage's lines.
VerifyResult verify_and_launch(const char* installer_path, const char* expected_sha256_hex,
                               const char* release_version, const Pin* pin);

// A signer's common name as the check compares it: the build's publisher
// name takes at most 127 bytes.
inline constexpr uint32_t SIGNER_NAME_CAPACITY = 128;
// Room for what signed_by_publisher writes: a reason and a signer's name.
inline constexpr uint32_t SIGNATURE_TEXT_CAPACITY = 192;

// What signed_by_publisher found of a file.
struct PinCheck {
    // What stage 4 shows: the signer's name, or why the file is refused.
    char text[SIGNATURE_TEXT_CAPACITY];
    // Taken, though its signer's revocation status could not be checked.
    bool revocation_unchecked;
    // Refused as its signer, or a certificate above it, is revoked.
    bool revoked;
};

// Whether the file at `installer_path`, held open as `held`, is the release
// `release_version` as `publisher` signed it: one strong Authenticode
// signature and no data beside it, holding to a trusted root for code
// signing (check_signature), whose signer's one common name is `publisher`
// whole, on an image whose version resource names the release's version,
// and no certificate of its chain revoked. Either way `check` says what
// stage 4 shows.
bool signed_by_publisher(FILE* held, const char* installer_path, const char* publisher,
                         const char* release_version, PinCheck* check);
