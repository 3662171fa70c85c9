// The fixed sizes a launch is composed within, and the one way an input past them ends
// the run: a banner naming what did not fit, then status 1, before anything is spawned
// (a cut command line or path would start something other than what was asked for).
// Main thread only.
#pragma once

// Slots of the JVM option, application argument and argument vector arrays.
constexpr int LAUNCH_ARGS_SLOTS = 1000;
constexpr int CLASSPATH_JOINED_SIZE = 50000;
constexpr int CLASSPATH_ENTRY_SIZE = 1000;
// Room the launch copy of the property list has for the entries added to it.
constexpr int ADDED_PROPERTIES_SIZE = 200000;
constexpr int LSO_PATH_SIZE = 10000;
constexpr int HEAP_OPTION_SIZE = 100;

// Logs the message as a banner and ends the process with status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void refuseLaunch(const char* format, ...);

// A zero-filled path buffer of PATH_BUFFER_SIZE bytes, never freed by the launch.
char* newPathBuffer();
// joined, the result of a path builder; null (it did not fit its buffer and names no
// usable file) refuses the launch, naming what.
char* requirePath(char* joined, const char* what);

// A fixed array of LAUNCH_ARGS_SLOTS borrowed or owned strings; what names its entries
// for the refusal when one more does not fit.
struct StringSlots {
  const char** items;
  int count;
  const char* what;
};

StringSlots newSlots(const char* what);
void pushSlot(StringSlots* slots, const char* text);
