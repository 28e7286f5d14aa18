// Local time in fixed English, for log prefixes and conflict names.
#ifndef PLATFORM_LOCAL_TIME_H_
#define PLATFORM_LOCAL_TIME_H_

#include <cstddef>
#include <ctime>

namespace platform {

// The current wall-clock time in Unix seconds. Goes through the clock that
// SetClockForTest installed, if any, else time(). Safe from any thread.
time_t CurrentTime();

// Replaces the clock of CurrentTime(); nullptr restores time(). Tests only;
// call it while no other thread reads the clock.
void SetClockForTest(time_t (*clock)());

// Formats `t` as local time with the strftime format `format` in the "C"
// locale (so "%b" is always "Jan".."Dec", whatever setlocale chose).
// Writes at most `size` bytes including the NUL. Returns the length written,
// or -1 when the time cannot be converted or the result does not fit (buf
// then holds "").
int FormatLocalTime(time_t t, const char* format, char* buf, size_t size);

}  // namespace platform

#endif  // PLATFORM_LOCAL_TIME_H_
