// The upload's state machine over a folder's record stream (or a file's
// content), fed in pieces, against a sink that checks every path it is given
// stays below the upload folder and that content only goes to an open file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "offline/transfer_format.h"
#include "offline/upload.h"

namespace {

namespace fs = std::filesystem;

class CheckingSink : public corvan::UploadSink {
 public:
  bool MakeFolder(const fs::path& rel) override {
    Check(rel);
    return true;
  }
  bool OpenFile(const fs::path& rel) override {
    Check(rel);
    open_ = true;
    return true;
  }
  bool Write(std::string_view bytes) override {
    if (!open_) std::abort();
    written_ += bytes.size();
    return true;
  }
  bool CloseFile() override {
    if (!open_) std::abort();
    open_ = false;
    return true;
  }

 private:
  static void Check(const fs::path& rel) {
    if (rel.empty() || rel.is_absolute()) std::abort();
    for (const auto& part : rel) {
      if (part == ".." || part == "." || part.empty()) std::abort();
    }
  }

  bool open_ = false;
  std::uint64_t written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 2) return 0;
  std::string_view all(reinterpret_cast<const char*>(bytes), size);
  // First byte: folder or file upload, and the piece size; second: file size.
  const unsigned char mode = static_cast<unsigned char>(all[0]);
  const bool folder = (mode & 1) == 0;
  const std::size_t piece = 1 + (mode >> 1);
  const std::uint64_t fileSize = static_cast<unsigned char>(all[1]);
  std::string_view stream = all.substr(2);

  // The pure record parsers on the raw bytes.
  (void)corvan::ParseRecordLength(stream.substr(0, 4));
  (void)corvan::ParseRecordBody(stream.substr(0, corvan::kMaxRecordBytes));

  CheckingSink sink;
  corvan::UploadMachine machine(sink, "Item", folder, fileSize);
  corvan::UploadMachine::Result result = corvan::UploadMachine::Result::kNeedMore;
  while (!stream.empty() && result == corvan::UploadMachine::Result::kNeedMore) {
    const std::string_view chunk = stream.substr(0, piece);
    const std::size_t used = machine.Feed(chunk, result);
    if (used > chunk.size()) std::abort();
    // While more is needed every byte given must have been taken.
    if (result == corvan::UploadMachine::Result::kNeedMore && used != chunk.size()) std::abort();
    stream.remove_prefix(used);
    if (used < chunk.size() && result == corvan::UploadMachine::Result::kNeedMore) break;
  }
  if (result != corvan::UploadMachine::Result::kNeedMore) {
    // A finished or failed upload takes nothing more.
    corvan::UploadMachine::Result again = corvan::UploadMachine::Result::kNeedMore;
    if (machine.Feed("0010:x:0:1:", again) != 0 || again != result) std::abort();
  }
  return 0;
}
