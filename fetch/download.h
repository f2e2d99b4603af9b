#pragma once

#include <cstdint>

#include "net/https.h"
#include "nodes/node_table.h"

inline constexpr uint32_t TRANSFER_BUFFER_SIZE = 65536;

enum class WalkResult { LAUNCHED, LAUNCH_FAILED, NOTHING_VERIFIED };

WalkResult fetch_and_launch(HttpsSession download_session, const char* installer_path);
bool download_from_node(HttpsSession download_session, const NodeEntry& node,
                        uint64_t expected_size, const char* installer_path);
