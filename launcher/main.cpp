// Program entry: a developer test option, or a normal run through startupDispatch.
#include <signal.h>

#include "launcher/startup.h"

int main(int argc, char** argv) {
  // A closed standard output must not kill the launcher mid-install.
  signal(SIGPIPE, SIG_IGN);
  const DeveloperOption option = findDeveloperOption(argc, argv);
  if (option != DeveloperOption::None) {
    runDeveloperOption(option, argc, argv);
    return 0;
  }
  savedArgc = argc;
  savedArgv = argv;
  startupDispatch();
}
