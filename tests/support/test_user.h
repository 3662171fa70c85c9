// A throwaway user for code that takes its home folder from the password database: a
// child process enters a private mount namespace, sees a passwd file of the test's own
// bound over /etc/passwd (the real one is never touched) and runs as the chosen user,
// so whatever the code installs lands in a scratch folder. Needs root, as tests run.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/output_capture.h"

struct TestUser {
  std::string name;
  uid_t uid;
  gid_t gid;
  std::string home;  // may be empty: an entry without a home folder
};

// Child exit statuses from this one up tell that the user could not be set up.
constexpr int TEST_USER_SETUP_FAILED = 120;

// The lines of a passwd file: root's, then one per user.
std::string passwdText(const std::vector<TestUser>& users);

// In the calling process: a private mount namespace with passwdPath bound over
// /etc/passwd, and HOME pointed where no home is (only the database may give it).
// false when the kernel refuses.
bool usePrivatePasswd(const std::string& passwdPath);

// In the calling process, once usePrivatePasswd has made its mount namespace: folder is
// bound over /tmp, so that fixed names under /tmp belong to one test; the X servers'
// sockets of the real /tmp/.X11-unix stay reachable. false when the kernel refuses.
bool usePrivateTmp(const std::string& folder);

// What the child of runAsUser gets beyond the user.
struct ChildSandbox {
  std::string privateTmp;         // not empty: bound over /tmp (usePrivateTmp)
  unsigned deadlineSeconds = 0;   // not 0: SIGALRM ends the child (and what it
                                  // executes) after this long, so no run hangs a test
};

// Forks; the child takes the private passwd file, the gid and the uid (no supplementary
// groups), then runs body, whose result is its exit status (TEST_USER_SETUP_FAILED and
// above: the setup failed).
ChildRun runAsUser(const std::string& passwdPath, uid_t uid, gid_t gid,
                   const std::function<int()>& body, const ChildSandbox& sandbox = {});

using EnvironmentList = std::vector<std::pair<std::string, std::string>>;

// runAsUser that executes the program at path with argv (argv[0] included) in cwd, with
// env added to the environment; its standard error joins its standard output. The
// result is the program's own exit status and output: children it leaves running are
// not waited for.
ChildRun runProgramAsUser(const std::string& passwdPath, const TestUser& user,
                          const std::string& path, const std::vector<std::string>& argv,
                          const std::string& cwd, const EnvironmentList& env = {},
                          const ChildSandbox& sandbox = {});
