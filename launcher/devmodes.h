// The developer test modes: three pipeline tests chosen by main and the splash
// demonstration chosen by startupDispatch. None reads the tail, opens a log file or
// installs anything; their own lines go to standard output.
#pragma once

void runExtractTest();
void runDownloadTest(const char* url);
void runDownloadUnpackTest(const char* url);
// Shows the splash with a changing progress strip; ends the process with status 1.
[[noreturn]] void runSplashDemo();
