#include "base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>

namespace corvan {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesWhenDroppedReplacedOrAssignedOver) {
  int a = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int b = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  {
    UniqueFd owner(a);
    owner.Reset(b);
    EXPECT_FALSE(IsOpen(a));
    EXPECT_TRUE(IsOpen(b));
  }
  EXPECT_FALSE(IsOpen(b));

  UniqueFd first(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  UniqueFd second(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int firstFd = first.Get();
  int secondFd = second.Get();
  first = std::move(second);
  EXPECT_FALSE(IsOpen(firstFd));
  EXPECT_EQ(first.Get(), secondFd);
  EXPECT_FALSE(second.Valid());
  EXPECT_TRUE(IsOpen(secondFd));
}

TEST(UniqueFd, ReleaseHandsOverAndResetToTheSameDescriptorKeepsItOpen) {
  UniqueFd owner(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int fd = owner.Get();
  owner.Reset(fd);
  EXPECT_TRUE(IsOpen(fd));
  EXPECT_EQ(owner.Get(), fd);

  int released = owner.Release();
  EXPECT_FALSE(owner.Valid());
  EXPECT_TRUE(IsOpen(released));
  ::close(released);
}

}  // namespace
}  // namespace corvan
