#include "tests/support/test_user.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
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

bool usePrivateTmp(const std::string& folder) {
  const std::string x11 = "/tmp/.X11-unix";
  struct stat st;
  if (lstat(x11.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    const std::string inside = folder + "/.X11-unix";
    mkdir(inside.c_str(), 01777);
    if (mount(x11.c_str(), inside.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  }
  return mount(folder.c_str(), "/tmp", nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

ChildRun runAsUser(const std::string& passwdPath, uid_t uid, gid_t gid,
                   const std::function<int()>& body, const ChildSandbox& sandbox) {
  return runInChild([&] {
    if (sandbox.deadlineSeconds != 0) alarm(sandbox.deadlineSeconds);
    if (!usePrivatePasswd(passwdPath)) return TEST_USER_SETUP_FAILED;
    if (!sandbox.privateTmp.empty() && !usePrivateTmp(sandbox.privateTmp)) {
      return TEST_USER_SETUP_FAILED + 4;
    }
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      return TEST_USER_SETUP_FAILED + 1;
    }
    return body();
  });
}

ChildRun runProgramAsUser(const std::string& passwdPath, const TestUser& user,
                          const std::string& path, const std::vector<std::string>& argv,
                          const std::string& cwd, const EnvironmentList& env,
                          const ChildSandbox& sandbox) {
  // Opened before the sandbox is set up: a private /tmp hides a program that was built
  // below /tmp (a checkout there), so the child starts it from this descriptor.
  const int program = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ChildRun run = runAsUser(passwdPath, user.uid, user.gid, [&] {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) return TEST_USER_SETUP_FAILED + 2;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    dup2(1, 2);
    if (program >= 0) fexecve(program, args.data(), environ);
    execv(path.c_str(), args.data());
    return TEST_USER_SETUP_FAILED + 3;
  }, sandbox);
  if (program >= 0) close(program);
  return run;
}
