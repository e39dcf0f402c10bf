// Scheduling functions. Stateless; any thread may call them at any time, also
// before start-up.
#ifndef RE5ZOR4_SCHEDULE_H_
#define RE5ZOR4_SCHEDULE_H_

#include "re5zor4/export.h"

// Sleeps seconds * 1000 milliseconds; returns 0.
RE5ZOR4_API int ZnSleep(int seconds);
// Gives up the rest of the time slice.
RE5ZOR4_API void ZnThreadSwitch();
// Sleeps ms milliseconds; 0 (or less) only yields.
RE5ZOR4_API void ZnThreadSwitchWithDelay(int ms);
// Online processors, at least 1.
RE5ZOR4_API unsigned long ZnGetNumberOfProcessors();

#endif  // RE5ZOR4_SCHEDULE_H_
