#pragma once

enum class VerifyResult { LAUNCHED, LAUNCH_FAILED, TRY_NEXT_NODE };

VerifyResult verify_and_launch(const char* installer_path, const char* expected_sha256_hex);
