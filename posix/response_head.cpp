#include "posix/response_head.h"

#include <cstring>

namespace {

bool same_prefix_nocase(const char* text, size_t length, const char* prefix) {
    size_t n = strlen(prefix);
    if (length < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = text[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        char b = prefix[i];
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The value of a field line without surrounding blanks and line end.
void field_value(const char* line, size_t length, size_t name_length, const char** value,
                 size_t* value_length) {
    size_t start = name_length;
    while (start < length && (line[start] == ' ' || line[start] == '\t')) ++start;
    size_t end = length;
    while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' ' ||
                           line[end - 1] == '\t'))
        --end;
    *value = line + start;
    *value_length = end - start;
}

// Digits only, as WinHTTP reads the number; a value past 64 bits is
// invalid rather than wrapped.
LengthState parse_length(const char* text, size_t length, uint64_t* value) {
    if (length == 0) return LENGTH_INVALID;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9' || v > (UINT64_MAX >> 4)) return LENGTH_INVALID;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    *value = v;
    return LENGTH_VALID;
}

void take_status_line(ResponseHead* head, const char* line, size_t n) {
    size_t i = 5;
    while (i < n && line[i] != ' ') ++i;
    uint32_t status = 0;
    for (size_t k = i + 1; k < n && k < i + 4 && line[k] >= '0' && line[k] <= '9'; ++k)
        status = status * 10 + static_cast<uint32_t>(line[k] - '0');
    size_t taken = head->bytes;
    head_reset(head);
    head->status = status;
    head->bytes = taken;
}

void take_field(ResponseHead* head, const char* line, size_t n) {
    const char* value;
    size_t value_length;
    if (same_prefix_nocase(line, n, "Location:")) {
        field_value(line, n, 9, &value, &value_length);
        head->location_cut = value_length >= sizeof head->location;
        head->location[0] = '\0';
        if (!head->location_cut) {
            memcpy(head->location, value, value_length);
            head->location[value_length] = '\0';
        }
    } else if (same_prefix_nocase(line, n, "Content-Length:")) {
        field_value(line, n, 15, &value, &value_length);
        head->length_state = parse_length(value, value_length, &head->length);
    } else if (same_prefix_nocase(line, n, "Transfer-Encoding:")) {
        field_value(line, n, 18, &value, &value_length);
        for (size_t i = 0; i + 7 <= value_length; ++i)
            if (same_prefix_nocase(value + i, value_length - i, "chunked")) head->chunked = true;
    }
}

}  // namespace

void head_reset(ResponseHead* head) {
    head->status = 0;
    head->location[0] = '\0';
    head->location_cut = false;
    head->length_state = LENGTH_ABSENT;
    head->length = 0;
    head->chunked = false;
    head->bytes = 0;
}

HeadLine head_take_line(ResponseHead* head, const char* line, size_t length) {
    if (head->bytes + length > HEAD_MAX_BYTES) return HEAD_TOO_LARGE;
    head->bytes += length;
    if (same_prefix_nocase(line, length, "HTTP/")) {
        take_status_line(head, line, length);
        return HEAD_MORE;
    }
    bool blank =
        (length == 2 && line[0] == '\r' && line[1] == '\n') || (length == 1 && line[0] == '\n');
    if (blank) return HEAD_END;
    take_field(head, line, length);
    return HEAD_MORE;
}

bool head_is_interim(const ResponseHead& head) { return head.status >= 100 && head.status < 200; }

bool head_is_redirect(const ResponseHead& head) {
    uint32_t s = head.status;
    return s == 301 || s == 302 || s == 303 || s == 307 || s == 308;
}

bool head_is_length_bounded(const ResponseHead& head) {
    return head.length_state == LENGTH_VALID && !head.chunked && head.status != 204 &&
           head.status != 304;
}
