#include "launcher/launch_limits.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/log.h"
#include "core/paths.h"

void refuseLaunch(const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  logBanner("%s", message);
  endProcess(1);
}

char* newPathBuffer() { return static_cast<char*>(calloc(PATH_BUFFER_SIZE, 1)); }

char* requirePath(char* joined, const char* what) {
  if (joined == nullptr) refuseLaunch("Path of the %s is too long, cannot launch!\n", what);
  return joined;
}

StringSlots newSlots(const char* what) {
  return StringSlots{static_cast<const char**>(calloc(LAUNCH_ARGS_SLOTS, sizeof(char*))), 0, what};
}

void pushSlot(StringSlots* slots, const char* text) {
  if (slots->count >= LAUNCH_ARGS_SLOTS) {
    refuseLaunch("Too many %s (more than %d), cannot launch!\n", slots->what, LAUNCH_ARGS_SLOTS);
  }
  slots->items[slots->count++] = text;
}

