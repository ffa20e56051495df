// TCP framing: a count line (decimal byte count, LF or CR LF), then exactly
// that many bytes. `FrameReader` is a state machine over received bytes with
// no I/O, so every count-line form is tested without sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan {

// The count line written before every reply: digits and CR LF.
std::string EncodeFrame(std::string_view body);
// A whole reply as written to the socket: the count line, then the body.
std::string FrameReply(std::string_view body);

class FrameReader {
 public:
  // Longest count line accepted without its LF.
  static constexpr std::size_t kMaxLineBytes = 16384;
  // Largest body accepted. No client sends more; a larger count would let one
  // connection allocate gigabytes, so it closes the connection.
  static constexpr std::int64_t kMaxBodyBytes = 1 << 20;

  enum class Result {
    kNeedMore,  // no complete frame buffered yet
    kSkip,      // a blank count line or a count of 0: nothing this time
    kBody,      // a complete body was produced
    kFail,      // malformed count line: the connection must be closed
  };

  // Appends received bytes.
  void Feed(std::string_view bytes) { buffer_.append(bytes); }

  // Extracts the next frame, if the buffer holds one. On kBody, `body`
  // receives the bytes. Call repeatedly until kNeedMore.
  Result Next(std::string& body);

  // Bytes received but not yet consumed (the start of an upload's content,
  // when a frame turns out to be an upload header).
  std::string TakeBuffered();
  std::size_t BufferedBytes() const { return buffer_.size() - pos_; }

  // The body length the reader is waiting for, or -1 while reading a line.
  std::int64_t PendingBody() const { return pending_; }

 private:
  void Compact();

  std::string buffer_;
  std::size_t pos_ = 0;        // start of unconsumed bytes in buffer_
  std::int64_t pending_ = -1;  // body length expected, -1 while in the count line
};

// Parses a count line (without its line end). Pure; exposed for tests.
FrameReader::Result ParseCountLine(std::string_view line, std::int64_t& count);

// Routing of a frame body by its first 21 bytes.
enum class FrameRoute {
  kTooShort,      // under 21 bytes: the connection is closed
  kOfflineInfo,   // the head is exactly "OfflineInfo": a stored message
  kOfflineFiles,  // the head begins with "OfflineFiles": an upload
  kRequest,       // anything else: an XML request
};
FrameRoute RouteFrame(std::string_view body);

// The upload header text: the body up to its first NUL.
std::string_view UploadHeaderText(std::string_view body);

}  // namespace corvan
