#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// A body read from an open file piece by piece while it is sent, so a large file never
// has to sit in memory whole. Empty when the body is in the response text.
struct FileBody {
    std::unique_ptr<std::FILE, FileCloser> file;
    std::uint64_t offset = 0; // of the next byte to go out
    std::uint64_t size = 0;   // bytes still to go out

    explicit operator bool() const { return file != nullptr; }
};

// Response bytes: the text, then the file body, if any.
struct Response {
    // Implicit: a response made of text alone is the common case.
    Response(std::string responseText = {}) : text(std::move(responseText)) {}
    Response(std::string responseText, FileBody body) : text(std::move(responseText)), file(std::move(body)) {}

    std::string text;
    FileBody file;
    // Set for a body too large to build whole: each call appends its next slice to the (emptied) text once
    // the last has gone out; false once it has appended the last one.
    std::function<bool(std::string& text)> more;
    // Held until the response has gone out: its share of what large answers may hold together.
    std::shared_ptr<const void> hold;
    // Set: the connection stays open as an event stream of the names this pattern matches.
    std::optional<std::string> streamPattern;
    // Sent instead when the stream's client already holds as many streams as it may.
    std::string streamRefusal;
};

// An answer is built whole up to this size (and then sent with its length); past it, a listing or a history
// is sent in slices of kSliceBytes as its reader takes them, without a length, ended by the close.
constexpr std::size_t kWholeAnswerBytes = std::size_t{1} << 20;
constexpr std::size_t kSliceBytes = std::size_t{64} << 10;
// What answers over kSliceBytes may hold together while their readers take them: past it, 503.
constexpr std::size_t kLargeAnswersBytes = std::size_t{4} << 20;

// On every answer but a served file's: a stored value must never be taken for a page.
constexpr std::string_view kNoSniffLine = "X-Content-Type-Options: nosniff\r\n";

// Whether the browser may guess the body's type: only a served file, which comes without a type, may be.
enum class Sniffing { Refused, Allowed };

// The one writer of a response head: the status line, Connection, Server, the CORS line (given without
// its CR LF) when there is one, the nosniff line unless sniffing is allowed, `lines` (whole header lines,
// each ended by CR LF), Content-Length when the length is known (a 204, an event stream and an answer sent
// in slices have none), the blank line. No other header, ever.
std::string WriteHead(std::string_view caption, int status, std::string_view corsLine, std::string_view lines,
                      std::optional<std::uint64_t> bodyLength, std::size_t reserveForBody = 0,
                      Sniffing sniffing = Sniffing::Refused);
// The head with the body's length, then the body.
std::string WriteResponse(std::string_view caption, int status, std::string_view corsLine, std::string_view lines,
                          std::string_view body, Sniffing sniffing = Sniffing::Refused);

// Up to `capacity` bytes of the file body from its offset, without moving on; 0 at its end.
std::size_t ReadFilePiece(const FileBody& body, char* into, std::size_t capacity);
// Appends up to `limit` further bytes of the file body and moves on; false once it gives no more.
bool ReadFileBody(FileBody& body, std::string& into, std::size_t limit);

} // namespace pontivo
