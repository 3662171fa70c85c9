// The start-up modes: the developer test options of main, the splash demonstration and
// the prepare-only marker of startupDispatch, and every other run handed to Extractor_run.
// Main thread only.
#pragma once

// The command line as main received it, for startupDispatch.
extern int savedArgc;
extern char** savedArgv;

enum class DeveloperOption { None, ExtractTest, DownloadUnpackTest, DownloadTest };

// A test option counts only as argv[1] and only with at least one more word after it.
DeveloperOption findDeveloperOption(int argc, char** argv);
// Runs the test of a found option (not None); main then returns 0.
void runDeveloperOption(DeveloperOption option, int argc, char** argv);
// True when argv[argc-1] is the prepare-only marker (the program path when there are no
// arguments).
bool isPrepareOnlyRun(int argc, char** argv);

// "-TESTSPLASH" as argv[1] runs the splash demonstration (status 1); every other run goes
// to Extractor_run. Never returns.
[[noreturn]] void startupDispatch();
