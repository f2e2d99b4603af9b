// A parser of one HTTP/1.x response head, taken line by line as libcurl
// hands the lines over: the status line, the three fields the stand-in acts
// on (Location, Content-Length, Transfer-Encoding) and the blank line that
// ends the head. Pure: no sockets, no libcurl, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for a kept Location value with its terminator.
constexpr size_t HEAD_LOCATION_BYTES = 4608;
// WinHTTP's default bound on one response's head; without it a peer sending
// fields forever would hold the exchange until its timeouts. Interim heads
// count toward it, or a flood of 1xx heads would never meet it.
constexpr size_t HEAD_MAX_BYTES = 64 * 1024;

enum LengthState : uint8_t { LENGTH_ABSENT, LENGTH_VALID, LENGTH_INVALID };

struct ResponseHead {
    uint32_t status;                     // 0 until a status line with digits came
    char location[HEAD_LOCATION_BYTES];  // "" when absent or cut
    bool location_cut;                   // a Location too long to keep
    LengthState length_state;            // of the last Content-Length field
    uint64_t length;                     // the declared length when LENGTH_VALID
    bool chunked;                        // a Transfer-Encoding names chunked
    size_t bytes;                        // taken since head_reset, interim heads included
};

enum HeadLine : uint8_t {
    HEAD_MORE,       // a status line or field was taken (or ignored)
    HEAD_END,        // the blank line: the head is complete
    HEAD_TOO_LARGE,  // past HEAD_MAX_BYTES; the response is to be refused
};

// Empties `head`, as before a response's first status line.
void head_reset(ResponseHead* head);

// Takes one line of `length` bytes, its line end included. A status line
// starts a new head (an interim response's fields are forgotten, its bytes
// still count); a field the parser does not act on is ignored. Returns
// HEAD_TOO_LARGE, with the line not taken, once the response's heads
// together would pass HEAD_MAX_BYTES.
HeadLine head_take_line(ResponseHead* head, const char* line, size_t length);

// An interim (1xx) response, which another head follows.
bool head_is_interim(const ResponseHead& head);

// A status whose Location WinHTTP follows by default.
bool head_is_redirect(const ResponseHead& head);

// The body ends after the declared length: the length is valid, the body
// is not chunked, and the status is one that has a body.
bool head_is_length_bounded(const ResponseHead& head);
