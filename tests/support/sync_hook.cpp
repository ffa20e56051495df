#include "support/sync_hook.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

namespace corvan::test {

namespace {

std::mutex& HookMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<SyncHook::Handler>& Current() {
  static std::shared_ptr<SyncHook::Handler> handler;  // guarded by HookMutex()
  return handler;
}

std::filesystem::path PathOf(int fd) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
}

}  // namespace

SyncHook::SyncHook(Handler handler) {
  std::lock_guard lock(HookMutex());
  Current() = std::make_shared<Handler>(std::move(handler));
}

SyncHook::~SyncHook() {
  std::lock_guard lock(HookMutex());
  Current().reset();
}

}  // namespace corvan::test

// Takes the place of the C library's fsync in the test program (a definition
// in the program itself wins over the shared library's) and hands each call
// to the installed handler before the real one.
extern "C" int fsync(int fd) {
  using Real = int (*)(int);
  static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "fsync"));
  std::shared_ptr<corvan::test::SyncHook::Handler> handler;
  {
    std::lock_guard lock(corvan::test::HookMutex());
    handler = corvan::test::Current();
  }
  if (handler) {
    if (int error = (*handler)(corvan::test::PathOf(fd)); error != 0) {
      errno = error;
      return -1;
    }
  }
  return real != nullptr ? real(fd) : (errno = ENOSYS, -1);
}
