#include <gtest/gtest.h>

#include <map>
#include <set>

#include "offline/upload.h"

namespace corvan {
namespace {

// Records what the machine asks for.
class MemorySink : public UploadSink {
 public:
  bool MakeFolder(const std::filesystem::path& rel) override {
    folders.insert(rel.string());
    return !failFolders;
  }
  bool OpenFile(const std::filesystem::path& rel) override {
    if (open) return false;
    current = rel.string();
    files[current];
    open = true;
    return true;
  }
  bool Write(std::string_view bytes) override {
    if (!open) return false;
    files[current] += bytes;
    ++writes;
    return true;
  }
  bool CloseFile() override {
    bool was = open;
    open = false;
    return was;
  }

  std::set<std::string> folders;
  std::map<std::string, std::string> files;
  std::string current;
  bool open = false;
  bool failFolders = false;
  int writes = 0;
};

using R = UploadMachine::Result;

// Feeds `stream` in two parts split at `split`, as a connection would.
R FeedSplit(UploadMachine& m, std::string_view stream, std::size_t split, std::size_t& used) {
  R r;
  used = m.Feed(stream.substr(0, split), r);
  if (r != R::kNeedMore) return r;
  EXPECT_EQ(used, split);
  used += m.Feed(stream.substr(split), r);
  return r;
}

std::string DocsStream(const std::string& trailing = "") {
  return *EncodeEnterFolder("Docs") + *EncodeFileRecord("a.txt", 5) + "hello" + *EncodeEnterFolder("Sub") +
         *EncodeFileRecord("b.bin", 3) + "xyz" + EncodeLeaveFolder() + *EncodeFileRecord("empty", 0) +
         EncodeLeaveFolder() + trailing;
}

TEST(UploadMachineTest, FolderStreamRecreatesTheTreeAtEverySplit) {
  const std::string stream = DocsStream("NEXT");
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    MemorySink sink;
    UploadMachine m(sink, "Item", true, 0);
    std::size_t used = 0;
    ASSERT_EQ(FeedSplit(m, stream, split, used), R::kDone) << split;
    EXPECT_EQ(used, stream.size() - 4) << "bytes after the last record are not taken";
    EXPECT_EQ(sink.files["Item/a.txt"], "hello");
    EXPECT_EQ(sink.files["Item/Sub/b.bin"], "xyz");
    ASSERT_TRUE(sink.files.count("Item/empty"));
    EXPECT_EQ(sink.files["Item/empty"], "");
    EXPECT_TRUE(sink.folders.count("Item/Sub"));
    EXPECT_FALSE(sink.open);
  }
}

TEST(UploadMachineTest, FileUploadTakesExactlyItsSizeInThePiecesGiven) {
  MemorySink sink;
  UploadMachine m(sink, "a.txt", false, 10);
  R r;
  EXPECT_EQ(m.Feed("01234", r), 5u);
  EXPECT_EQ(r, R::kNeedMore);
  EXPECT_EQ(m.Feed("56789REST", r), 5u);
  EXPECT_EQ(r, R::kDone);
  EXPECT_EQ(sink.files["a.txt"], "0123456789");
  EXPECT_EQ(sink.writes, 2);
  EXPECT_FALSE(sink.open);

  MemorySink empty;
  UploadMachine e(empty, "zero", false, 0);
  EXPECT_EQ(e.Feed("", r), 0u);
  EXPECT_EQ(r, R::kDone);
  EXPECT_EQ(empty.files.count("zero"), 1u);
}

TEST(UploadMachineTest, ContentWrittenElsewhereCountsTowardsTheFileAndTheStreamGoesOn) {
  MemorySink sink;
  UploadMachine m(sink, "Docs", true, 0);
  R r;
  const std::string stream = DocsStream("NEXT");
  const std::size_t hello = stream.find("hello");
  EXPECT_EQ(m.ContentRemaining(), 0u);
  EXPECT_EQ(m.Feed(stream.substr(0, hello), r), hello);
  EXPECT_EQ(r, R::kNeedMore);
  ASSERT_EQ(m.ContentRemaining(), 5u);
  // Three bytes reach the file by another way, the rest through Feed.
  sink.files[sink.current] += "hel";
  m.ContentWritten(3);
  EXPECT_EQ(m.ContentRemaining(), 2u);
  std::size_t used = m.Feed(stream.substr(hello + 3), r);
  EXPECT_EQ(r, R::kDone);
  EXPECT_EQ(hello + 3 + used, stream.size() - 4);  // "NEXT" is left
  EXPECT_EQ(sink.files["Docs/a.txt"], "hello");
  EXPECT_EQ(sink.files["Docs/Sub/b.bin"], "xyz");

  // All of a file's content elsewhere: an empty Feed closes it and ends the
  // upload; more than remains is never counted.
  MemorySink whole;
  UploadMachine f(whole, "a.bin", false, 4);
  EXPECT_EQ(f.Feed("", r), 0u);
  EXPECT_EQ(f.ContentRemaining(), 4u);
  f.ContentWritten(9);
  EXPECT_EQ(f.ContentRemaining(), 0u);
  EXPECT_TRUE(whole.open);
  EXPECT_EQ(f.Feed("", r), 0u);
  EXPECT_EQ(r, R::kDone);
  EXPECT_FALSE(whole.open);
  EXPECT_EQ(f.ContentRemaining(), 0u);
}

TEST(UploadMachineTest, RefusesUnsafeNamesMalformedRecordsAndSinkFailures) {
  auto run = [](const std::string& stream, MemorySink& sink) {
    UploadMachine m(sink, "Item", true, 0);
    R r;
    m.Feed(stream, r);
    return r;
  };
  const std::string top = *EncodeEnterFolder("Docs");
  for (const char* bad : {"..", ".", "a/b", "a\\b"}) {
    MemorySink s1;
    EXPECT_EQ(run(top + *EncodeEnterFolder(bad), s1), R::kFailed) << bad;
    MemorySink s2;
    EXPECT_EQ(run(top + *EncodeFileRecord(bad, 1) + "x", s2), R::kFailed) << bad;
  }
  MemorySink nul;
  EXPECT_EQ(run(top + *EncodeFileRecord(std::string("a\0b", 3), 0), nul), R::kFailed);
  MemorySink empty;
  EXPECT_EQ(run(top + *EncodeFileRecord("", 0), empty), R::kFailed);

  MemorySink tooLong;  // length digits over 2005
  EXPECT_EQ(run(top + "07D6", tooLong), R::kFailed);
  MemorySink notHex;
  EXPECT_EQ(run(top + "zz12", notHex), R::kFailed);
  MemorySink badBody;
  EXPECT_EQ(run(top + "0009:a:1:", badBody), R::kFailed);

  MemorySink failing;
  failing.failFolders = true;
  EXPECT_EQ(run(top, failing), R::kFailed);
}

TEST(UploadMachineTest, StreamCutShortNeedsMoreAndOtherKindsArePassedOver) {
  MemorySink sink;
  UploadMachine m(sink, "Item", true, 0);
  R r;
  // A kind 7 record (0x23 bytes) carries nothing and is passed over.
  std::string stream =
      *EncodeEnterFolder("Docs") + "0023:x:0:7:14=48041e4b:16=47d21313:" + *EncodeFileRecord("a", 4) + "ab";
  EXPECT_EQ(m.Feed(stream, r), stream.size());
  EXPECT_EQ(r, R::kNeedMore);  // the connection closing now aborts the upload
  EXPECT_EQ(sink.files["Item/a"], "ab");
  EXPECT_EQ(sink.folders.count("Item/x"), 0u);
}

}  // namespace
}  // namespace corvan
