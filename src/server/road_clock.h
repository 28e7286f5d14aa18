// The clock of the channels' keep-alive times.
#ifndef SERVER_ROAD_CLOCK_H_
#define SERVER_ROAD_CLOCK_H_

#include <cstdint>

namespace road_clock {

// Seconds of CLOCK_MONOTONIC plus 2^30 plus the test offset. The offset keeps
// every reading far above Connection::ChannelStat::kConnected (31536000) and
// far below kNotConnected (0xFFFFFFFF), so those marks never read as a live
// time; the monotonic base keeps a change of the wall clock from expiring or
// prolonging a channel. Nothing stores these values. Any thread.
uint32_t Now();

// Moves Now() forward by `seconds` for every thread (tests only; never
// backward). Any thread.
void AdvanceForTest(uint32_t seconds);

}  // namespace road_clock

#endif  // SERVER_ROAD_CLOCK_H_
