// corvanctl as a program on a data folder, for the directory tests.
#pragma once

#include <filesystem>
#include <string>

namespace corvan::test {

struct CtlRun {
  int status = -1;
  std::string out, err;
};

// Runs corvanctl on the data folder `home` with `args` (one shell text),
// after `env` ("NAME=value ..."), its standard input empty.
CtlRun Corvanctl(const std::filesystem::path& home, const std::string& args, const std::string& env = "");

}  // namespace corvan::test
