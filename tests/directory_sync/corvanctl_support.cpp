#include "directory_sync/corvanctl_support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "support/daemon_support.h"

namespace corvan::test {

namespace fs = std::filesystem;

CtlRun Corvanctl(const fs::path& home, const std::string& args, const std::string& env) {
  const fs::path ctl = fs::path(CORVAN_SERVER_BINARY).parent_path() / "corvanctl";
  const fs::path out = home / "ctl.out", err = home / "ctl.err";
  const std::string cmd = env + " CORVAN_HOME=" + ShellQuoted(home.string()) + " " + ShellQuoted(ctl.string()) + " " +
                          args + " < /dev/null > " + ShellQuoted(out.string()) + " 2> " + ShellQuoted(err.string());
  CtlRun r;
  const int w = std::system(cmd.c_str());
  if (w != -1 && WIFEXITED(w)) r.status = WEXITSTATUS(w);
  auto slurp = [](const fs::path& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

}  // namespace corvan::test
