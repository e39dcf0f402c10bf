// Scheduling functions: thin calls into the platform layer.
#include "re5zor4/schedule.h"

#include "platform/port.h"

int ZnSleep(int seconds) {
  re5zor4::port::Sleep(static_cast<long>(seconds) * 1000);
  return 0;
}

void ZnThreadSwitch() {
  re5zor4::port::Sleep(0);
}

void ZnThreadSwitchWithDelay(int ms) {
  re5zor4::port::Sleep(ms);
}

unsigned long ZnGetNumberOfProcessors() {
  return re5zor4::port::NumberOfProcessors();
}
