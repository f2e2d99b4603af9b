#include "fetch/verify.h"

#include <cstdio>
#include <cstring>

#include "fetch/sha256.h"
#include "manifest/release.h"
#include "pe/authenticode.h"
#include "pe/image.h"
#include "platform/platform.h"

namespace {

const char ALTERED_TEXT[] = "the file does not match its signature";

// Held open when a pin is given, so the bytes digested are the bytes checked
// and started; "" when the file cannot be read.
FILE* digest_file(const char* installer_path, const Pin* pin, char (&actual)[SHA256_HEX_CAPACITY]) {
    if (pin == nullptr) {
        sha256_file(installer_path, actual);
        return nullptr;
    }
    FILE* held = platform().open_held(installer_path);
    actual[0] = '\0';
    if (held != nullptr) (void)sha256_stream(held, actual);
    return held;
}

}  // namespace

namespace {

uint8_t g_signature[SIGNATURE_DER_CAPACITY];

// Why the signature's own structure is refused, read the same on both
// builds; null when it is one strong signature and nothing else.
const char* structure_refused(FILE* held, PeLayout* pe, size_t* length) {
    CertTable table =
        pe_layout(held, pe) ? read_cert_table(held, *pe, g_signature, length) : CertTable::NONE;
    if (table == CertTable::NONE) return "not signed";
    if (table == CertTable::HIDDEN) return "data hidden in the signature";
    SignatureDigest digest = table == CertTable::SIGNATURE ? signature_digests(g_signature, *length)
                                                           : SignatureDigest::BROKEN;
    if (digest == SignatureDigest::WEAK) return "weak digest";
    return digest == SignatureDigest::BROKEN ? ALTERED_TEXT : nullptr;
}

// Why the platform refuses the signature, by verdict; null for SIGNED.
const char* const VERDICT_REFUSED[] = {
    nullptr,   "not signed", "not from a trusted root", "not for code signing", "expired",
    "revoked", ALTERED_TEXT};
static_assert(sizeof VERDICT_REFUSED / sizeof VERDICT_REFUSED[0] ==
                  static_cast<size_t>(SignatureVerdict::ALTERED) + 1,
              "a reason for every verdict");

// The file's version as text: as many numbers as the release's version has,
// more where a further one is not 0.
void version_text(const uint16_t (&numbers)[4], const char* release_version, char (&out)[32]) {
    int parts = 1;
    for (const char* p = release_version; *p != '\0'; ++p) parts += *p == '.' ? 1 : 0;
    for (int i = parts; i < 4; ++i)
        if (numbers[i] != 0) parts = i + 1;
    snprintf(out, sizeof out, "%u.%u.%u.%u", numbers[0], numbers[1], numbers[2], numbers[3]);
    int dots = 0;
    for (char* p = out; *p != '\0'; ++p)
        if (*p == '.' && ++dots == parts) *p = '\0';
}

// Whether the image's version resource names the release; else why not.
bool is_release(FILE* held, const PeLayout& pe, const char* release_version, char* text,
                uint32_t capacity) {
    uint16_t file[4];
    if (!pe_product_version(held, pe, file)) {
        snprintf(text, capacity, "no version information");
        return false;
    }
    uint16_t release[4];
    if (version_numbers(release_version, release) && compare_version_numbers(file, release) == 0)
        return true;
    char shown[32];
    version_text(file, release_version, shown);
    snprintf(text, capacity, "version %s, not the release's %s", shown, release_version);
    return false;
}

}  // namespace

bool signed_by_publisher(FILE* held, const char* installer_path, const char* publisher,
                         const char* release_version, PinCheck* check) {
    char* text = check->text;
    const uint32_t capacity = sizeof check->text;
    check->revocation_unchecked = false;
    check->revoked = false;
    PeLayout pe;
    size_t length = 0;
    const char* why = structure_refused(held, &pe, &length);
    SignerFacts signer;
    signer.subject_length = 0;
    signer.revocation_unchecked = false;
    if (why == nullptr) {
        SignatureVerdict verdict = platform().check_signature(
            held, installer_path, g_signature, static_cast<uint32_t>(length), &signer);
        check->revoked = verdict == SignatureVerdict::REVOKED;
        why = VERDICT_REFUSED[static_cast<int>(verdict)];
    }
    char name[SIGNER_NAME_CAPACITY];
    if (why == nullptr && !common_name(signer.subject, signer.subject_length, name, sizeof name))
        why = "the signer's name is not one common name";
    if (why != nullptr) {
        snprintf(text, capacity, "%s", why);
        return false;
    }
    if (strcmp(name, publisher) != 0) {
        snprintf(text, capacity, "signed by another publisher, %s", name);
        return false;
    }
    if (!is_release(held, pe, release_version, text, capacity)) return false;
    snprintf(text, capacity, "%s", name);
    check->revocation_unchecked = signer.revocation_unchecked;
    return true;
}

namespace {

// Prints the signer, or why the pin refuses the file.
bool pin_holds(FILE* held, const char* installer_path, const char* release_version,
               const Pin& pin) {
    PinCheck check;
    bool ok = pin.holds(held, installer_path, pin.publisher, release_version, &check);
    printf(ok ? "   签名/Signed by: %s\n" : "   签名无效 / Signature not valid: %s\n", check.text);
    if (ok && check.revocation_unchecked)
        puts("   无法检查吊销状态 / Revocation status could not be checked");
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
                               const char* release_version, const Pin* pin) {
    puts("[4/4] 校验完整性 / Verifying integrity (SHA-256)...");
    fflush(stdout);
    char actual[SHA256_HEX_CAPACITY];
    FILE* held = digest_file(installer_path, pin, actual);
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
        if (pin == nullptr || pin_holds(held, installer_path, release_version, *pin)) {
            result = launch(installer_path);
            refused = false;
        }
    }
    // Closed first: while held, the file cannot be deleted.
    if (held != nullptr) fclose(held);
    if (refused) platform().delete_file(installer_path);
    return result;
}
