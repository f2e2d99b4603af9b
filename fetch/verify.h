#pragma once

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
