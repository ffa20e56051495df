#include "server/frame.h"

#include "base/text.h"

namespace corvan {

std::string EncodeFrame(std::string_view body) {
  std::string out = std::to_string(body.size());
  out += "\r\n";
  return out;
}

std::string FrameReply(std::string_view body) {
  std::string out = EncodeFrame(body);
  out.reserve(out.size() + body.size());
  out += body;
  return out;
}

FrameReader::Result ParseCountLine(std::string_view line, std::int64_t& count) {
  if (Trim(line).empty()) return FrameReader::Result::kSkip;
  // Blanks before the digits are allowed, anything after them is not.
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  std::string_view digits = line.substr(i);
  std::size_t j = 0;
  if (j < digits.size() && (digits[j] == '+' || digits[j] == '-')) ++j;
  if (j == digits.size()) return FrameReader::Result::kFail;
  for (; j < digits.size(); ++j) {
    if (digits[j] < '0' || digits[j] > '9') return FrameReader::Result::kFail;
  }
  auto value = ParseInt32(digits);
  if (!value) return FrameReader::Result::kFail;  // outside the 32-bit range
  if (*value == 0) return FrameReader::Result::kSkip;
  if (*value < 0 || *value > FrameReader::kMaxBodyBytes) return FrameReader::Result::kFail;
  count = *value;
  return FrameReader::Result::kBody;
}

FrameReader::Result FrameReader::Next(std::string& body) {
  for (;;) {
    if (pending_ < 0) {
      std::string_view rest(buffer_.data() + pos_, buffer_.size() - pos_);
      auto lf = rest.find('\n');
      if (lf == std::string_view::npos) {
        if (rest.size() > kMaxLineBytes) return Result::kFail;
        Compact();
        return Result::kNeedMore;
      }
      if (lf > kMaxLineBytes) return Result::kFail;
      std::string_view line = rest.substr(0, lf);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      pos_ += lf + 1;
      std::int64_t count = 0;
      Result r = ParseCountLine(line, count);
      if (r != Result::kBody) {
        if (r == Result::kSkip) Compact();
        return r;
      }
      pending_ = count;
    }
    std::size_t have = buffer_.size() - pos_;
    if (have < static_cast<std::size_t>(pending_)) {
      Compact();
      return Result::kNeedMore;
    }
    body.assign(buffer_.data() + pos_, static_cast<std::size_t>(pending_));
    pos_ += static_cast<std::size_t>(pending_);
    pending_ = -1;
    Compact();
    return Result::kBody;
  }
}

std::string FrameReader::TakeBuffered() {
  std::string rest = buffer_.substr(pos_);
  buffer_.clear();
  pos_ = 0;
  return rest;
}

void FrameReader::Compact() {
  if (pos_ == 0) return;
  if (pos_ >= buffer_.size()) {
    // Let go of the room a large body took once nothing is buffered.
    if (buffer_.capacity() > 64 * 1024) {
      std::string().swap(buffer_);
    } else {
      buffer_.clear();
    }
  } else {
    buffer_.erase(0, pos_);
  }
  pos_ = 0;
}

FrameRoute RouteFrame(std::string_view body) {
  if (body.size() < 21) return FrameRoute::kTooShort;
  std::string_view head = body.substr(0, 21);
  auto nul = head.find('\0');
  if (nul != std::string_view::npos) head = head.substr(0, nul);
  if (head == "OfflineInfo") return FrameRoute::kOfflineInfo;
  if (head.substr(0, 12) == "OfflineFiles") return FrameRoute::kOfflineFiles;
  return FrameRoute::kRequest;
}

std::string_view UploadHeaderText(std::string_view body) {
  auto nul = body.find('\0');
  return nul == std::string_view::npos ? body : body.substr(0, nul);
}

}  // namespace corvan
