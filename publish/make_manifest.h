#pragma once

// Writes the manifest of `installer_path` for `version` to `out_path`
// (standard output when null). Exit code: 0 written, 1 refused by a rule,
// 2 the file cannot be read or the manifest cannot be written.
int make_manifest(const char* version, const char* installer_path, const char* out_path);
