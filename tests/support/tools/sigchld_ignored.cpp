// Starts a program with SIGCHLD ignored, as a careless parent may leave it (an ignored
// signal survives exec, so the program begins that way): "<path>" is taken as
// "<path>.image", argv[0] and all, so that the tool can stand at a program's own path.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 1) return 127;
  const std::string image = std::string(argv[0]) + ".image";
  signal(SIGCHLD, SIG_IGN);
  argv[0] = const_cast<char*>(image.c_str());
  execv(image.c_str(), argv);
  perror(image.c_str());
  return 127;
}
