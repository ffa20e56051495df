// Uploads whose bytes reach the server in awkward pieces: the content must
// land byte for byte whichever way the stream is cut, whether it passes
// through the intake's reads or goes straight from the socket to the file,
// and the frame after it must still be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "offline/offline.h"
#include "offline/transfer_format.h"
#include "support/offline_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TcpClient;
using test::TestServer;
using test::WaitForRows;
using test::WaitUntil;

std::string Header(std::string_view name, std::string_view kind, std::size_t size) {
  return EncodeTransferHeader(TransferHeader{"li", "Li Nick", "wang", std::string(name), std::string(kind),
                                             kind == "1" ? std::to_string(size) : "0"});
}

std::string Framed(std::string_view body) { return EncodeFrame(body) + std::string(body); }

// Bytes no two positions of which repeat in a short period, so a piece
// written twice or skipped shows.
std::string Content(std::size_t size) {
  std::string s(size, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

// Sends `stream` cut at `cuts` (offsets), pausing after each piece so the
// server reads it on its own.
void SendInPieces(TcpClient& tcp, const std::string& stream, std::vector<std::size_t> cuts) {
  tcp.NoDelay();
  std::size_t at = 0;
  cuts.push_back(stream.size());
  for (std::size_t cut : cuts) {
    if (cut <= at || cut > stream.size()) continue;
    ASSERT_TRUE(tcp.SendRaw(std::string_view(stream).substr(at, cut - at)));
    at = cut;
    std::this_thread::sleep_for(2ms);
  }
}

std::vector<fs::path> StoredPaths(ServerCore& core) {
  DatabaseLock lock(core.Db());
  Statement st(core.Db(), "select FilePath from OfflineFiles order by rowid");
  std::vector<fs::path> paths;
  while (st.Step()) paths.emplace_back(st.ColumnText(0));
  return paths;
}

constexpr const char* kAllFiles = "select count(*) from OfflineFiles";
constexpr const char* kAllMessages = "select count(*) from OfflineInfo";

TEST(UploadPieces, FileLandsByteForByteWhereverTheStreamIsCut) {
  // Each case: one file upload followed by a message frame, as one stream.
  struct Case {
    std::string name;
    std::size_t size;
    std::function<std::vector<std::size_t>(std::size_t headerEnd, std::size_t contentEnd)> cuts;
  };
  auto every = [](std::size_t step, std::size_t end) {
    std::vector<std::size_t> v;
    for (std::size_t i = step; i < end; i += step) v.push_back(i);
    return v;
  };
  std::vector<Case> cases = {
      {"one byte at a time", 37, [&](std::size_t, std::size_t contentEnd) { return every(1, contentEnd + 3); }},
      {"cut one before the content", 4096, [](std::size_t h, std::size_t) { return std::vector<std::size_t>{h - 1}; }},
      {"cut at the content", 4096, [](std::size_t h, std::size_t) { return std::vector<std::size_t>{h}; }},
      {"cut one into the content", 4096, [](std::size_t h, std::size_t) { return std::vector<std::size_t>{h + 1}; }},
      {"all in one write", 100000, [](std::size_t, std::size_t) { return std::vector<std::size_t>{}; }},
      {"large, odd pieces, the next frame with the last one", (3u << 20) + 17,
       [&](std::size_t h, std::size_t c) {
         std::vector<std::size_t> v = {h + 1, h + 65537, h + (1u << 20) - 1, h + (1u << 20) + 1, c - 5};
         return v;
       }},
      {"large, the next frame's first byte with the content's last", (2u << 20) + 3,
       [](std::size_t h, std::size_t c) {
         return std::vector<std::size_t>{h + 300000, c + 1};
       }},
      {"empty file, then the frame byte by byte", 0,
       [&](std::size_t h, std::size_t c) {
         auto v = every(1, c + 20);
         v.push_back(h);
         std::sort(v.begin(), v.end());
         return v;
       }},
  };
  TestServer server;
  int stored = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string content = Content(c.size);
    const std::string head = Framed(Header("f" + std::to_string(stored) + ".bin", "1", c.size));
    const std::string next = Framed(EncodeOfflineMessage("bob", "li", "after " + c.name));
    const std::string stream = head + content + next;
    TcpClient tcp(server.Port());
    SendInPieces(tcp, stream, c.cuts(head.size(), head.size() + content.size()));
    ++stored;
    ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, stored));
    ASSERT_TRUE(WaitForRows(server.Core(), kAllMessages, stored));
    const fs::path path = StoredPaths(server.Core()).back();
    EXPECT_EQ(path.filename(), "f" + std::to_string(stored - 1) + ".bin");
    EXPECT_TRUE(test::ReadFile(path) == content);
  }
}

TEST(UploadPieces, FolderWithALargeFileBetweenRecordsLandsByteForByte) {
  const std::string big = Content((2u << 20) + 5);
  const std::string small = "tail";
  const std::string stream = *EncodeEnterFolder("Docs") + *EncodeFileRecord("big.bin", big.size()) + big +
                             *EncodeEnterFolder("Sub") + *EncodeFileRecord("s.txt", small.size()) + small +
                             EncodeLeaveFolder() + EncodeLeaveFolder();
  const std::string head = Framed(Header("Docs", "2", 0));
  const std::string next = Framed(EncodeOfflineMessage("bob", "li", "after the folder"));
  const std::string all = head + stream + next;
  const std::size_t bigStart = all.find(big);
  TestServer server;
  TcpClient tcp(server.Port());
  // Cut inside the file record, one byte into the content, inside it, and
  // one byte before its end (the next record follows in the same piece).
  SendInPieces(tcp, all, {bigStart - 3, bigStart + 1, bigStart + 777777, bigStart + big.size() - 1});
  ASSERT_TRUE(WaitForRows(server.Core(), kAllFiles, 1));
  ASSERT_TRUE(WaitForRows(server.Core(), kAllMessages, 1));
  const fs::path docs = StoredPaths(server.Core()).front();
  EXPECT_TRUE(test::ReadFile(docs / "big.bin") == big);
  EXPECT_EQ(test::ReadFile(docs / "Sub" / "s.txt"), small);
}

TEST(UploadPieces, ClientLeavingInALargeFilesContentLeavesNothing) {
  TestServer server;
  const std::string content = Content(4u << 20);
  {
    TcpClient tcp(server.Port());
    tcp.NoDelay();
    ASSERT_TRUE(tcp.SendFrame(Header("cut.bin", "1", content.size())));
    ASSERT_TRUE(tcp.SendRaw(std::string_view(content).substr(0, 1536 * 1024)));
    ASSERT_TRUE(WaitUntil([&] {
      auto folders = test::SubFolders(server.Core().OfflineFilesDir() / "WANG");
      std::error_code ec;
      return folders.size() == 1 && fs::file_size(folders[0] / "cut.bin", ec) == 1536 * 1024;
    }));
  }
  EXPECT_TRUE(WaitUntil([&] { return test::SubFolders(server.Core().OfflineFilesDir() / "WANG").empty(); }));
  EXPECT_EQ(test::CountRows(server.Core(), kAllFiles), 0);
}

}  // namespace
}  // namespace corvan
