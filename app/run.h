#pragma once

#include "varnel_version.h"

inline constexpr const char PRODUCT_NAME[] = "Varnel";
inline constexpr const char INSTALLER_VERSION[] = VARNEL_VERSION;

// The whole run, from the banner to its exit code (app/process.h): a failure
// is printed and ends the run with its code.
int run_installer();
