// A fresh folder for one test, removed with everything in it when the object goes.
#pragma once

#include <string>

class ScratchDir {
 public:
  // Creates a new folder below base ("/tmp" unless given).
  explicit ScratchDir(const std::string& base = "/tmp");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Small file helpers for tests.
void writeFileBytes(const std::string& path, const std::string& bytes);
std::string readFileBytes(const std::string& path);
bool pathExists(const std::string& path);
