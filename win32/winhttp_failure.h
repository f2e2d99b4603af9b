// WinHTTP's error codes and secure-failure flags as the platform's failure
// causes: the Windows binding's own knowledge, apart from the binding so the
// Windows unit tests reach it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The cause of `error` (GetLastError after a failed call); `secure_flags`
// are the flags of the secure-failure notification (0 when none came) and
// `in_body` says the call was a body read. Unknown codes give OTHER.
HttpFailure winhttp_failure_cause(uint32_t error, uint32_t secure_flags, bool in_body);
