#include "tests/support/setuid_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "tests/support/scratch_dir.h"

std::string installSetuidRunner(const std::string& builtRunner, const std::string& folder,
                                uid_t uid, gid_t gid) {
  // The folder is closed before anything goes in, so no one else ever sees the runner.
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "";
  if (chown(folder.c_str(), 0, gid) != 0 || chmod(folder.c_str(), 0750) != 0) return "";
  const std::string allowed = folder + "/allowed-uid";
  writeFileBytes(allowed, std::to_string(uid) + "\n");
  if (chown(allowed.c_str(), 0, 0) != 0 || chmod(allowed.c_str(), 0644) != 0) return "";
  const std::string runner = folder + "/root_runner";
  std::error_code ec;
  std::filesystem::copy_file(builtRunner, runner,
                             std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return "";
  if (chown(runner.c_str(), 0, 0) != 0 || chmod(runner.c_str(), 04755) != 0) return "";
  return runner;
}
