#pragma once

#include "manifest/release.h"
#include "net/https.h"

inline constexpr int MANIFEST_BUFFER_SIZE = 4096;

// Stage 1: the first valid mirror manifest, or the built-in release. Prints
// the release line.
void fetch_manifest(HttpsSession probe_session, ReleaseInfo* release);
// The source label of an accepted manifest, by the content of its URL.
const char* source_label_for(const char* url);
