// Small file helpers for tests: a throwaway folder removed with its contents when the
// object goes, and whole-file reads and writes of bytes. Nothing here is thread-safe
// beyond what the file system gives.
#pragma once

#include <string>

// mkdtemp under /tmp; removed recursively by the destructor.
class TempFolder {
 public:
  explicit TempFolder(const char* tag = "hvtest");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// The file's bytes; false when it cannot be read.
bool readFileBytes(const std::string& path, std::string* bytes);
// Creates or truncates the file (parents must exist); false on failure.
bool writeFileBytes(const std::string& path, const std::string& bytes, int mode = 0644);
bool pathExists(const std::string& path);
// rm -rf of one path (quoted); the path must not be empty or "/".
void removeTree(const std::string& path);
