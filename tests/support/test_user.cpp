#include "tests/support/test_user.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>

std::string passwdText(const std::vector<TestUser>& users) {
  std::string text = "root:x:0:0:root:/root:/bin/sh\n";
  for (const TestUser& u : users) {
    text += u.name + ":x:" + std::to_string(u.uid) + ":" + std::to_string(u.gid) + "::" + u.home +
            ":/bin/sh\n";
  }
  return text;
}

bool usePrivatePasswd(const std::string& passwdPath) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount(passwdPath.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) return false;
  setenv("HOME", "/tmp/hv-not-the-home", 1);
  return true;
}

ChildRun runAsUser(const std::string& passwdPath, uid_t uid, gid_t gid,
                   const std::function<int()>& body) {
  return runInChild([&] {
    if (!usePrivatePasswd(passwdPath)) return TEST_USER_SETUP_FAILED;
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      return TEST_USER_SETUP_FAILED + 1;
    }
    return body();
  });
}

ChildRun runProgramAsUser(const std::string& passwdPath, const TestUser& user,
                          const std::string& path, const std::vector<std::string>& argv,
                          const std::string& cwd, const EnvironmentList& env) {
  return runAsUser(passwdPath, user.uid, user.gid, [&] {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) return TEST_USER_SETUP_FAILED + 2;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    dup2(1, 2);
    execv(path.c_str(), args.data());
    return TEST_USER_SETUP_FAILED + 3;
  });
}
