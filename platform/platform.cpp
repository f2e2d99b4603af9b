#include "platform/platform.h"

namespace {
const PlatformOps* g_installed = nullptr;
}

const PlatformOps& platform() { return g_installed != nullptr ? *g_installed : native_platform(); }

void platform_install(const PlatformOps* ops) { g_installed = ops; }
