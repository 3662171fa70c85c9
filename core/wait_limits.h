// Wait limits: how long the launcher waits for what lies outside it (an update site, a
// child program) before it gives up, so that no run, and no splash, waits for ever.
// Every wait of the launcher takes its limit from here. Tests may shorten each limit,
// never lengthen or remove it, through the variable WAIT_LIMIT_ENV. Any thread.
#pragma once

#include <cstdint>

// A download attempt that receives less than a KiB a second for this long, or has not
// connected within it, fails:
// longer than any pause of a working server, proxy or mobile link, and short enough that
// a silent site (two attempts) ends the run within about two minutes.
constexpr int32_t DOWNLOAD_STALL_SECONDS = 60;
// "java -version" and the runtime compatibility test: a JVM answers them in a second or
// two even on a cold, busy machine; past a minute it will not answer.
constexpr int32_t CHECK_CHILD_LIMIT_SECONDS = 60;
// unpack200 of one file and the class-data dump: work on the runtime's files, which takes
// tens of seconds on a slow disk; ten minutes leaves room for the slowest.
constexpr int32_t WORK_CHILD_LIMIT_SECONDS = 600;

// Whole seconds; a positive value below a limit takes its place (tests only). Not read
// when the effective user is root: an elevation tool may keep the caller's environment,
// and a caller must not steer the waits of a run as root.
inline constexpr char WAIT_LIMIT_ENV[] = "HV_WAIT_LIMIT_SECONDS";

// The limit in force: limit, or the shortening in force (WAIT_LIMIT_ENV's value, or the
// one setWaitLimitForTests gave) when that is a positive whole number below it. Read at
// each call (the start of a wait, never inside one).
int32_t waitLimitSeconds(int32_t limit);

// For tests that run in-process as root, where WAIT_LIMIT_ENV does not count: text is
// read as that variable's value would be, and applies to every user; null removes it.
// The launcher never calls it.
void setWaitLimitForTests(const char* text);
