// What the module's start-up and shut-down need of the diagnostic stream.
// Module-internal.
#ifndef RE5ZOR4_SRC_SMP_IO_H_
#define RE5ZOR4_SRC_SMP_IO_H_

class smp_io;

namespace re5zor4 {

// Installs the console stream (null clears the slot); returns the previous
// one, which the caller then owns.
smp_io* ExchangeConsole(smp_io* stream);

// Writes the calling thread's pending text now; its buffer stays.
void WritePendingText();

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_SMP_IO_H_
