// The launch properties of one launch: a copy of the caller's property list with room
// for the entries the launch adds (the caller's list is never changed), the JVM options
// and properties of the runtime's LSO file, and the launch properties file the program
// is handed, written whole under a fresh name or not at all. Main thread only; inputs
// past the fixed sizes refuse the launch (launcher/launch_limits.h).
#pragma once

#include "core/launch_property_list.h"
#include "launcher/launch_limits.h"

constexpr int EXIT_LAUNCH_PROPERTIES_UNWRITABLE = 99;
constexpr int LSO_OPEN_RETRIES = 5;
constexpr int LAUNCH_PROPERTIES_ATTEMPTS = 6;
constexpr int RETRY_PAUSE_MILLIS = 500;

// The launch copy of list: its entries plus ADDED_PROPERTIES_SIZE bytes of room, so the
// entries a compatibility test adds never reach the list of a later launch.
LaunchPropertyList* copyPropertyList(const LaunchPropertyList* list);
// Adds a static (or, when dynamic, a dynamic) entry to the launch copy.
void addProperty(LaunchPropertyList* copy, bool dynamic, const char* key, const char* value);

// Reads the LSO file at lsoPath: its entries become JVM options and, with their count,
// properties. A file that exists but cannot be opened is tried LSO_OPEN_RETRIES more
// times; a FIFO, device or link there counts as missing. Without a file nothing changes.
void readLsoFile(const char* lsoPath, StringSlots* options, LaunchPropertyList* props);

// Writes props into a new file in appDir; LAUNCH_PROPERTIES_ATTEMPTS attempts under fresh
// names with pauses between them, each made exclusively and removed unless written
// whole. Returns the file's path; when every attempt failed the process ends with
// EXIT_LAUNCH_PROPERTIES_UNWRITABLE.
char* writeLaunchProperties(const char* appDir, const LaunchPropertyList* props);
