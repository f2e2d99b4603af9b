// What the installer and the release tool share as processes: their exit
// codes, with what each means, and the room for the paths they make in the
// temporary directory.
#pragma once

// varnel-setup.
inline constexpr int EXIT_LAUNCHED = 0;  // the verified installer was started
// No node reachable, every reachable node failed, or the verified installer
// could not be started.
inline constexpr int EXIT_NOT_LAUNCHED = 1;
// The HTTP library could not be initialised, or there is no usable
// temporary directory.
inline constexpr int EXIT_CANNOT_BEGIN = 2;

// varnel-release: `check` found nothing a user could meet wrong, `manifest`
// wrote the manifest, or the usage was asked for.
inline constexpr int TOOL_EXIT_OK = 0;
// Something a user could meet is wrong (`check`), or a rule or the
// signature refuses the file (`manifest`).
inline constexpr int TOOL_EXIT_FOUND = 1;
// The tool could not do its work: a bad command line, no temporary
// directory, no probe session, its own failure in the download check, or a
// file it cannot read or write.
inline constexpr int TOOL_EXIT_CANNOT_WORK = 2;

// What GetTempPathA may write, MAX_PATH and the terminator; and a path in
// that directory with a file name of up to 96 bytes, with room to spare.
inline constexpr int TEMP_DIR_CAPACITY = 261;
inline constexpr int INSTALLER_PATH_CAPACITY = 540;
