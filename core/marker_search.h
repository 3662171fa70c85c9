// Finding a marker in a stream: the installer file's sections are told by the markers
// that precede them. Stateless: any thread, one stream per call.
#pragma once

#include <cstdint>
#include <cstdio>

// Scans file forward from its current position for marker (a mismatch restarts the
// match at 0 without retrying the mismatching byte). Returns the number of bytes read up
// to and including the marker, the stream positioned just after it; -1 (logged
// "Could not find marker: NAME") at the end of the file. A length of 0 reads nothing.
int64_t findMarker(FILE* file, const void* marker, int32_t length, const char* name);

