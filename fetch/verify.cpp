#include "fetch/verify.h"

#include <cstdio>
#include <cstring>

#include "fetch/sha256.h"
#include "manifest/release.h"
#include "platform/platform.h"

namespace {

// Held open when a publisher is named, so the bytes digested are the bytes
// checked and started; "" when the file cannot be read.
FILE* digest_file(const char* installer_path, const char* publisher, char (&actual)[65]) {
    if (publisher[0] == '\0') {
        sha256_file(installer_path, actual);
        return nullptr;
    }
    FILE* held = platform().open_held(installer_path);
    actual[0] = '\0';
    if (held != nullptr) (void)sha256_stream(held, actual);
    return held;
}

}  // namespace

bool signed_by_publisher(FILE* held, const char* installer_path, const char* publisher, char* text,
                         uint32_t capacity) {
    char signer[128];
    SignatureVerdict verdict =
        platform().check_signature(held, installer_path, signer, sizeof signer);
    bool by_publisher = verdict == SignatureVerdict::SIGNED && strcmp(signer, publisher) == 0;
    const char* why = by_publisher                              ? ""
                      : verdict == SignatureVerdict::SIGNED     ? "signed by another publisher, "
                      : verdict == SignatureVerdict::NOT_SIGNED ? "not signed"
                      : verdict == SignatureVerdict::NOT_TRUSTED
                          ? "not from a trusted root"
                          : "the file does not match its signature";
    snprintf(text, capacity, "%s%s", why, verdict == SignatureVerdict::SIGNED ? signer : "");
    return by_publisher;
}

namespace {

// Prints the signer, or why the signature is refused.
bool signed_by(FILE* held, const char* installer_path, const char* publisher) {
    char text[SIGNATURE_TEXT_CAPACITY];
    bool ok = signed_by_publisher(held, installer_path, publisher, text, sizeof text);
    printf(ok ? "   签名/Signed by: %s\n" : "   签名无效 / Signature not valid: %s\n", text);
    return ok;
}

VerifyResult launch(const char* installer_path) {
    puts("   启动安装器 / Launching installer...");
    // The installer's window may outlive us; everything said so far must be out.
    fflush(stdout);
    uintptr_t code = platform().shell_open(installer_path);
    if (code > 32) {
        printf("\n完成: 安装器已启动 / Installer launched (at %s)\n", installer_path);
        return VerifyResult::LAUNCHED;
    }
    printf("\n警告: 安装器启动失败 / Failed to launch installer (code %d), run manually:\n   %s\n",
           static_cast<int>(static_cast<uint32_t>(code)), installer_path);
    return VerifyResult::LAUNCH_FAILED;
}

}  // namespace

VerifyResult verify_and_launch(const char* installer_path, const char* expected_sha256_hex,
                               const char* publisher) {
    puts("[4/4] 校验完整性 / Verifying integrity (SHA-256)...");
    fflush(stdout);
    char actual[65];
    FILE* held = digest_file(installer_path, publisher, actual);
    VerifyResult result = VerifyResult::TRY_NEXT_NODE;
    bool refused = true;
    if (actual[0] == '\0') {
        puts("   校验失败: 无法读取已下载文件 / Verify failed: cannot read downloaded file");
        refused = false;
    } else if (!digests_match(actual, expected_sha256_hex)) {
        printf("   哈希不匹配 / Hash mismatch!\n   期望/Expected: %s\n   实际/Actual:   %s\n",
               expected_sha256_hex, actual);
    } else {
        printf("   校验通过 / Verified  SHA-256 %s\n", expected_sha256_hex);
        if (held == nullptr || signed_by(held, installer_path, publisher)) {
            result = launch(installer_path);
            refused = false;
        }
    }
    // Closed first: while held, the file cannot be deleted.
    if (held != nullptr) fclose(held);
    if (refused) platform().delete_file(installer_path);
    return result;
}
