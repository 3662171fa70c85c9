// Entry point: hands the command line to the start-up modes.
#include "core/log.h"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  logMessage("[Extractor] Start-up flow not built yet\n");
  endProcess(1);
}
