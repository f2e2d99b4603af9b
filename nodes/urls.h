// Every outside address the program knows, in one table.
#pragma once

#define VARNEL_MODEL_HUB_BASE "https://www.modelscope.cn/datasets/varnel/releases/resolve/master"
#define VARNEL_DATASET_HUB_BASE "https://huggingface.co/datasets/varnel/releases/resolve/main"
#define VARNEL_MAKER_SITE_HOST "varnel.dev"

inline constexpr const char MODEL_HUB_BASE[] = VARNEL_MODEL_HUB_BASE;
inline constexpr const char RELEASE_URL_FORMAT[] =
    "https://github.com/varnel/varnel/releases/download/v%s/%s";
inline constexpr const char* const PROXY_PREFIXES[3] = {
    "https://ghfast.top/",
    "https://gh-proxy.com/",
    "https://ghproxy.net/",
};
inline constexpr const char DATASET_HUB_BASE[] = VARNEL_DATASET_HUB_BASE;
inline constexpr const char MAKER_SITE_HOST[] = VARNEL_MAKER_SITE_HOST;
