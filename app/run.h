#pragma once

inline constexpr const char PRODUCT_NAME[] = "Varnel";
inline constexpr const char INSTALLER_VERSION[] = "1.2.0";

int run_installer();
