// The response-head parser from a table of heads, fed line by line as
// libcurl delivers them.
#include "posix/response_head.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    std::string text;  // lines, each with its line end
    HeadLine last;     // the result for the last line fed
    uint32_t status;
    std::string length;    // "" absent, "?" invalid, else the value
    std::string location;  // kept value
    // c chunked, x Location cut, i interim, r followed redirect, b body
    // bounded by its length
    std::string flags;
};

// Feeds `text` line by line until the head ends or is refused.
HeadLine feed(ResponseHead* head, const std::string& text) {
    head_reset(head);
    HeadLine last = HEAD_MORE;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        last = head_take_line(head, text.data() + at, end - at);
        if (last == HEAD_TOO_LARGE) break;
        at = end;
    }
    return last;
}

// The head in the table's terms.
std::string described(const ResponseHead& h) {
    std::string length = h.length_state == LENGTH_ABSENT    ? ""
                         : h.length_state == LENGTH_INVALID ? "?"
                                                            : std::to_string(h.length);
    std::string flags;
    if (h.chunked) flags += 'c';
    if (h.location_cut) flags += 'x';
    if (head_is_interim(h)) flags += 'i';
    if (head_is_redirect(h)) flags += 'r';
    if (head_is_length_bounded(h)) flags += 'b';
    return std::to_string(h.status) + " [" + length + "] [" + h.location + "] " + flags;
}

// A head of exactly `total` bytes: a status line, one filler field, the end.
std::string head_of(size_t total) {
    std::string start = "HTTP/1.1 200 OK\r\nX-Fill: ";
    return start + std::string(total - start.size() - 4, 'a') + "\r\n\r\n";
}

std::string with_location(size_t value_bytes) {
    return "HTTP/1.1 302 Found\r\nLocation: " + std::string(value_bytes, 'l') + "\r\n\r\n";
}

std::string printable(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out.size() > 160 ? out.substr(0, 160) + "..." : out;
}

TEST(ResponseHead, TableOfHeads) {
    const std::string kept(HEAD_LOCATION_BYTES - 1, 'l');
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string early = "HTTP/1.1 103 Early Hints\r\n\r\n";
    // clang-format off
    const std::vector<Case> cases = {
        {ok + "Content-Length: 5\r\n\r\n", HEAD_END, 200, "5", "", "b"},
        {"HTTP/1.1 200 OK\nContent-Length: 3\n\n", HEAD_END, 200, "3", "", "b"},
        {"http/1.0 404 Not Found\r\n\r\n", HEAD_END, 404, "", "", ""},
        {"HTTP/2 204\r\nContent-Length: 0\r\n\r\n", HEAD_END, 204, "0", "", ""},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", HEAD_END, 304, "9", "", ""},
        {ok + "content-LENGTH:  42 \t\r\n\r\n", HEAD_END, 200, "42", "", "b"},
        {ok + "Content-Length: 12abc\r\n\r\n", HEAD_END, 200, "?", "", ""},
        {ok + "Content-Length:\r\n\r\n", HEAD_END, 200, "?", "", ""},
        {ok + "Content-Length: -5\r\n\r\n", HEAD_END, 200, "?", "", ""},
        {ok + "Content-Length: 99999999999999999999\r\n\r\n", HEAD_END, 200, "?", "", ""},
        {ok + "Content-Length: 4294967296\r\n\r\n", HEAD_END, 200, "4294967296", "", "b"},
        // A second length replaces the first, valid or not.
        {ok + "Content-Length: 5\r\nContent-Length: 7\r\n\r\n", HEAD_END, 200, "7", "", "b"},
        {ok + "Content-Length: 5\r\nContent-Length: x\r\n\r\n", HEAD_END, 200, "?", "", ""},
        {ok + "Transfer-Encoding: gzip, Chunked\r\nContent-Length: 5\r\n\r\n", HEAD_END, 200, "5", "", "c"},
        {ok + "Transfer-Encoding: gzip\r\nContent-Length: 5\r\n\r\n", HEAD_END, 200, "5", "", "b"},
        {"HTTP/1.1 302 Found\r\nLocation:  /next?a=1 \r\n\r\n", HEAD_END, 302, "", "/next?a=1", "r"},
        {"HTTP/1.1 308 Permanent\r\nLOCATION: https://b.test/x\r\n\r\n", HEAD_END, 308, "", "https://b.test/x", "r"},
        {"HTTP/1.1 300 Multiple Choices\r\nLocation: /x\r\n\r\n", HEAD_END, 300, "", "/x", ""},
        {"HTTP/1.1 305 Use Proxy\r\nLocation: /x\r\n\r\n", HEAD_END, 305, "", "/x", ""},
        // A folded continuation line is no field of its own.
        {"HTTP/1.1 302 Found\r\nLocation: /a\r\n /b\r\n\r\n", HEAD_END, 302, "", "/a", "r"},
        {"HTTP/1.1 302 Found\r\nX-Note: y\r\n Location: /z\r\n\r\n", HEAD_END, 302, "", "", "r"},
        {"HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n", HEAD_END, 103, "", "", "i"},
        // The final status line forgets what the interim head said.
        {"HTTP/1.1 100 Continue\r\nLocation: /a\r\nContent-Length: 3\r\n\r\n" + ok + "\r\n", HEAD_END, 200, "", "", ""},
        {with_location(HEAD_LOCATION_BYTES - 1), HEAD_END, 302, "", kept, "r"},
        {with_location(HEAD_LOCATION_BYTES), HEAD_END, 302, "", "", "xr"},
        {head_of(HEAD_MAX_BYTES), HEAD_END, 200, "", "", ""},
        {head_of(HEAD_MAX_BYTES + 1), HEAD_TOO_LARGE, 200, "", "", ""},
        // The interim head's bytes count toward the bound.
        {early + head_of(HEAD_MAX_BYTES - early.size()), HEAD_END, 200, "", "", ""},
        {early + head_of(HEAD_MAX_BYTES - early.size() + 1), HEAD_TOO_LARGE, 200, "", "", ""},
        {ok + "Content-Length: 5\r\n", HEAD_MORE, 200, "5", "", "b"},
    };
    // clang-format on
    static ResponseHead head;
    for (const Case& k : cases) {
        HeadLine last = feed(&head, k.text);
        std::string want =
            std::to_string(k.status) + " [" + k.length + "] [" + k.location + "] " + k.flags;
        EXPECT_EQ(static_cast<int>(last), static_cast<int>(k.last)) << printable(k.text);
        EXPECT_EQ(described(head), want) << printable(k.text);
    }
}

}  // namespace
