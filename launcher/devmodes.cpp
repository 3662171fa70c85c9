#include "launcher/devmodes.h"

#include <cstdio>

#include "core/log.h"

namespace {

void printPending(const char* mode) {
  printf("[DevMode] %s not built yet\n", mode);
  fflush(stdout);
}

}  // namespace

void runExtractTest() { printPending("Extract test"); }

void runDownloadTest(const char* url) {
  (void)url;
  printPending("Download test");
}

void runDownloadUnpackTest(const char* url) {
  (void)url;
  printPending("Download-and-unpack test");
}

void runSplashDemo() {
  printPending("Splash demonstration");
  endProcess(1);
}
