// Clock readings for names and cache busters, and pauses. Every call takes its own
// reading of the wall clock; nothing is kept between calls, so any thread may call.
#pragma once

#include <cstdint>

// Milliseconds since the epoch; 0 when the clock cannot be read.
uint64_t currentTimeMillis();
// The millisecond part (0-999) of the current time; 0 when the clock cannot be read.
int32_t currentMillisPart();
// One pause of whole seconds (not resumed when a signal cuts it short): 0, or -1.
int32_t sleepSeconds(int64_t seconds);
// One pause of milliseconds, resumed after signals until it has fully elapsed.
void sleepMillis(int64_t millis);
