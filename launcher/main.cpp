// Program entry: a developer test option, or a normal run through startupDispatch.
#include <signal.h>

#include "core/spawner.h"
#include "launcher/startup.h"

int main(int argc, char** argv) {
  // Started with SIGCHLD ignored (a parent may leave it so), the kernel would reap every
  // child at once and each wait for one would fail; the launcher and its children need
  // the default.
  signal(SIGCHLD, SIG_DFL);
  // A closed standard output must not kill the launcher mid-install; the Java program
  // still gets SIGPIPE as the user's shell gave it.
  ignoreLauncherSignal(SIGPIPE);
  const DeveloperOption option = findDeveloperOption(argc, argv);
  if (option != DeveloperOption::None) {
    runDeveloperOption(option, argc, argv);
    return 0;
  }
  savedArgc = argc;
  savedArgv = argv;
  startupDispatch();
}
