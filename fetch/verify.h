#pragma once

#include <cstdint>
#include <cstdio>

enum class VerifyResult { LAUNCHED, LAUNCH_FAILED, TRY_NEXT_NODE };

// Stage 4: digests the file and compares it with the expected digest (any
// case). A match is started through the shell: LAUNCHED, or LAUNCH_FAILED
// with the hint to run it by hand. An unreadable file (kept) or a mismatch
// (deleted) gives TRY_NEXT_NODE. With a `publisher` named (non-empty), the
// file is held open from the digest to the start, and a match whose
// Authenticode signature is not valid or not that publisher's is deleted
// too, for TRY_NEXT_NODE. Prints the stage's lines.
VerifyResult verify_and_launch(const char* installer_path, const char* expected_sha256_hex,
                               const char* publisher);

// Room for what signed_by_publisher writes: a reason and a signer's name.
inline constexpr uint32_t SIGNATURE_TEXT_CAPACITY = 192;

// Whether the file at `installer_path`, held open as `held`, carries a valid
// Authenticode signature by `publisher`. Either way `text` gets what stage 4
// shows: the signer's name, or why the signature is refused (truncated to
// `capacity`).
bool signed_by_publisher(FILE* held, const char* installer_path, const char* publisher, char* text,
                         uint32_t capacity);
