// Stored uploads are private to the server's user, and a link planted in
// the recipient's place is refused rather than followed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "offline/transfer_format.h"
#include "support/offline_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using test::TcpClient;
using test::TestServer;
using test::WaitForRows;

unsigned Mode(const fs::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777;
}

std::string Header(std::string_view to, std::string_view name, std::string_view kind, std::string_view size) {
  return EncodeTransferHeader(
      TransferHeader{"li", "Li Nick", std::string(to), std::string(name), std::string(kind), std::string(size)});
}

TEST(UploadFolders, AreOwnerOnlyUnderTheUsualUmask) {
  mode_t saved = ::umask(022);
  TestServer server;
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("wang", "a.txt", "1", "5")));
  ASSERT_TRUE(tcp.SendRaw("hello"));
  const bool stored = WaitForRows(server.Core(), "select count(*) from OfflineFiles", 1);
  ::umask(saved);
  ASSERT_TRUE(stored);
  const fs::path files = server.Core().OfflineFilesDir();
  EXPECT_EQ(Mode(files), 0700u);
  EXPECT_EQ(Mode(files / "WANG"), 0700u);
  auto uploads = test::SubFolders(files / "WANG");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(Mode(uploads[0]), 0700u);
  EXPECT_EQ(Mode(uploads[0] / "a.txt"), 0600u);
}

TEST(UploadFolders, ALinkInTheRecipientsPlaceIsRefused) {
  TestServer server;
  const fs::path files = server.Core().OfflineFilesDir();
  fs::create_directories(files);
  fs::create_directory(server.Home() / "elsewhere");
  fs::create_directory_symlink(server.Home() / "elsewhere", files / "BOB");
  TcpClient tcp(server.Port());
  ASSERT_TRUE(tcp.SendFrame(Header("bob", "a.txt", "1", "5")));
  tcp.SendRaw("hello");
  EXPECT_TRUE(tcp.WaitClosed());
  EXPECT_EQ(test::CountRows(server.Core(), "select count(*) from OfflineFiles"), 0);
  EXPECT_TRUE(fs::is_empty(server.Home() / "elsewhere"));
  EXPECT_TRUE(fs::is_symlink(files / "BOB"));
}

}  // namespace
}  // namespace corvan
