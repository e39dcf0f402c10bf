// The diagnostic stream: operator<< overloads and manipulators over a
// replaceable output sink.
//
// The default sink writes to standard output and, independently, to the
// debugger channel; which of the two is active comes from the configuration
// key "ZARNConsole" in section "debug" (bit 0 standard output, bit 1 debugger
// channel; absent: standard output only). A thread collects its text in its
// own 1024-byte buffer and writes it in one piece at endl (or flush), so each
// thread's lines reach standard output whole. Text that does not fit is not
// dropped: the buffer is written out first.
//
// Ownership: an smp_io owns its sink. Console() installs a caller-made stream
// and hands back the previous one, which the caller then owns.
//
// Thread safety: any thread may write to any stream; each thread's text is
// buffered privately. The sink may be replaced for a while (ExchangeSink)
// and must be put back; every operation of a stream uses the one sink it
// found for the whole operation (endl writes and flushes the same sink).
#ifndef RE5ZOR4_SMP_IO_H_
#define RE5ZOR4_SMP_IO_H_

#include <atomic>

#include "re5zor4/export.h"

namespace re5zor4 {
class SinkUse;
}

// The output sink. Slot order: destructor, writeOutput, flush. The
// constructor counts one more live sink, the destructor one less.
class RE5ZOR4_API _smp_io {
 public:
  _smp_io();
  virtual ~_smp_io();
  // len -1: up to the terminating NUL. A null or empty text writes nothing.
  virtual void writeOutput(const char* text, int len);
  virtual void flush();

  _smp_io(const _smp_io&) = delete;
  _smp_io& operator=(const _smp_io&) = delete;
};

class RE5ZOR4_API smp_io {
 public:
  smp_io();
  virtual ~smp_io();

  virtual smp_io& operator<<(const char* text);
  virtual smp_io& operator<<(int value);             // "%d"
  virtual smp_io& operator<<(unsigned int value);    // "%u"
  virtual smp_io& operator<<(short value);           // "%d"
  virtual smp_io& operator<<(unsigned short value);  // "%u"
  virtual smp_io& operator<<(long value);            // "%ld"
  virtual smp_io& operator<<(unsigned long value);   // "%lu"
  virtual smp_io& operator<<(float value);           // "%f"
  virtual smp_io& operator<<(double value);          // "%lf"
  virtual smp_io& operator<<(char value);            // one byte; NUL writes nothing
  virtual smp_io& operator<<(void* value);           // "0x%lx"
  // Writes len bytes of text (-1: up to the NUL); returns len.
  virtual int Print(const char* text, int len);
  virtual smp_io& flush();
  virtual smp_io& flush(smp_io& stream);
  virtual smp_io& operator<<(smp_io& (*manipulator)(smp_io&));

  // Installs replacement as the sink and returns the sink it replaced once
  // no operation of this stream that picked that sink up is still using it,
  // so the caller may then destroy it. Waits only for operations already
  // under way; those that start meanwhile use replacement.
  // REQUIRES: not called from within an operation of this stream (the call
  // would wait for itself); replacement stays alive until it is replaced.
  _smp_io* ExchangeSink(_smp_io* replacement);

  // Owned. Storing into it directly gives no guarantee about operations
  // under way; use ExchangeSink to put a sink in place for a while.
  std::atomic<_smp_io*> sink;

  smp_io(const smp_io&) = delete;
  smp_io& operator=(const smp_io&) = delete;

 private:
  friend class re5zor4::SinkUse;
  // Operations under way, counted before they load the sink, in one of two
  // counters chosen by the parity of sinkEpoch_ (see smp_io.cpp).
  std::atomic<unsigned> sinkEpoch_;
  std::atomic<int> sinkUsers_[2];
};

// Manipulators; they write to the stream's sink directly.
RE5ZOR4_API smp_io& endl(smp_io& stream);           // "\n", then flush
RE5ZOR4_API smp_io& ARROW(smp_io& stream);          // " --> "
RE5ZOR4_API smp_io& UNKNOWN_ERROR(smp_io& stream);  // "unknown error"

// The module's console stream; null outside the started state.
RE5ZOR4_API smp_io* GetConsole();
// With null: the current console, unchanged. Otherwise installs stream and
// returns the previous console.
RE5ZOR4_API smp_io* Console(smp_io* stream);

#endif  // RE5ZOR4_SMP_IO_H_
