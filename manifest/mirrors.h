// The manifest mirrors, in the order stage 1 tries them.
#pragma once

#include "nodes/urls.h"

inline constexpr int MANIFEST_URL_COUNT = 5;
inline constexpr const char* const MANIFEST_URLS[MANIFEST_URL_COUNT] = {
    VARNEL_MODEL_HUB_BASE "/manifest.txt",
    "https://" VARNEL_MAKER_SITE_HOST "/dl/manifest/varnel.txt",
    "https://raw.githubusercontent.com/varnel/varnel/master/manifest.txt",
    "https://raw.githubusercontent.com/varnel/varnel/main/manifest.txt",
    VARNEL_DATASET_HUB_BASE "/manifest.txt",
};
