// The built-in release of this source tree. A build given a manifest file
// (VARNEL_BUILTIN_MANIFEST) finds its own copy of this header first.
#pragma once

#define VARNEL_BUILTIN_VERSION "2.0.4"
#define VARNEL_BUILTIN_FILE_NAME "Varnel-2.0.4-windows-amd64-setup.exe"
#define VARNEL_BUILTIN_SIZE 7532411ull
#define VARNEL_BUILTIN_SHA256 "9244397c38a76a83c240331671f3ddbc35647737f471f1ac9cfbf0854d725c9a"
