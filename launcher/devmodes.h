// The developer test modes: three pipeline tests chosen by main and the splash
// demonstration chosen by startupDispatch. None reads the tail, opens a log file or
// installs anything; their own lines go to standard output. The pipeline tests return
// unless a pipeline ends the process (a failed signature, an unwritable file: status 1).
#pragma once

// Extracts "test.p2.l2" of the current folder into "/tmp/test" (made when missing; a
// link or a file at that name ends the process with status 1), every archive checked
// against the compiled-in test key. It copies exactly 63586021 bytes (the size of the
// test archive); a shorter file ends the copy at its end, and the pipeline's input is
// always closed after the copy, so the wait ends even when the stream does not.
void runExtractTest();
// Downloads url into "deleteme.tmp" of the current folder; the result is not reported.
void runDownloadTest(const char* url);
// Downloads url and extracts it into "/tmp" with no key set, so a signed archive is
// refused (status 1) and nothing is removed; "[DEBUG]" lines tell the outcome.
void runDownloadUnpackTest(const char* url);
// Shows the splash with a changing progress strip (13 s of pauses); ends the process
// with status 1.
[[noreturn]] void runSplashDemo();
