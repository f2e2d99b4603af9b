#include "fetch/verify.h"

#include <cstdio>
#include <cstring>

#include "fetch/sha256.h"
#include "manifest/release.h"
#include "platform/platform.h"

VerifyResult verify_and_launch(const char* installer_path, const char* expected_sha256_hex) {
    puts("[4/4] 校验完整性 / Verifying integrity (SHA-256)...");
    fflush(stdout);
    char actual[65];
    sha256_file(installer_path, actual);
    if (actual[0] == '\0') {
        puts("   校验失败: 无法读取已下载文件 / Verify failed: cannot read downloaded file");
        return VerifyResult::TRY_NEXT_NODE;
    }
    if (!digests_match(actual, expected_sha256_hex)) {
        printf("   哈希不匹配 / Hash mismatch!\n   期望/Expected: %s\n   实际/Actual:   %s\n",
               expected_sha256_hex, actual);
        platform().delete_file(installer_path);
        return VerifyResult::TRY_NEXT_NODE;
    }
    printf("   校验通过 / Verified  SHA-256 %s\n", expected_sha256_hex);
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
