#pragma once

inline constexpr const char PRODUCT_NAME[] = "Varnel";
inline constexpr const char INSTALLER_VERSION[] = "1.2.0";
inline constexpr int TEMP_DIR_CAPACITY = 261;
inline constexpr int INSTALLER_PATH_CAPACITY = 540;

int run_installer();
