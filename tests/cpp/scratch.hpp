// A scratch directory for tests that write files, removed when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace voskel::testutil {

struct ScratchDir {
  std::filesystem::path dir;

  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "voskel_test_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
      throw std::filesystem::filesystem_error("mkdtemp",
                                              std::error_code(errno, std::generic_category()));
    dir = tmpl;
  }
  ~ScratchDir() { std::filesystem::remove_all(dir); }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  std::string path(const std::string &name) const { return (dir / name).string(); }
  // Writes the bytes to dir/name and returns that path.
  std::string write(const std::string &name, const std::string &bytes) const {
    const std::string p = path(name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  static std::string slurp(const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
};

} // namespace voskel::testutil
