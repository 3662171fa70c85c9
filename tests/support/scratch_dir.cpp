#include "tests/support/scratch_dir.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& base) {
  std::string pattern = base + "/hvtest-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + base);
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  // FTW_PHYS: links are removed, never followed; FTW_DEPTH: contents before folders.
  chmod(path_.c_str(), 0700);
  nftw(path_.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS);
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}
