#pragma once

// Writes the manifest of `installer_path` for `version` to `out_path`
// (standard output when null). With a `publisher` named (non-empty), a file
// whose signature the installer would refuse is refused too. Exit code: 0
// written, 1 refused by a rule or for its signature, 2 the file cannot be
// read or the manifest cannot be written.
int make_manifest(const char* version, const char* installer_path, const char* out_path,
                  const char* publisher);
