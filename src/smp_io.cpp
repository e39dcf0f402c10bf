// The diagnostic stream, its default sink and the per-thread line buffers.
//
// Sink state is shared by every sink of the process. The output mask starts
// as "not read" (0xF000); the first output reads the configuration once,
// under a mutex, and publishes the mask last, so a thread that sees the final
// mask also sees the handle and the debugger-channel flag it implies. When the
// last sink goes away the state returns to "not read", so a module started
// again after a shut-down sets its output up afresh instead of staying silent.
//
// Per-thread buffering of the text, for both channels, is the line buffer's
// (core/line_buffer.h); this file decides what goes where.
#include "re5zor4/smp_io.h"

#include <cstring>
#include <mutex>
#include <new>

#include "core/line_buffer.h"
#include "core/number_text.h"
#include "core/seam.h"
#include "core/settings.h"
#include "platform/port.h"
#include "smp_io.h"

namespace re5zor4 {
namespace {

constexpr int kMaskNotRead = 0xF000;

std::atomic<int> g_mask{kMaskNotRead};
std::atomic<intptr_t> g_outputHandle{port::kInvalidHandle};
std::atomic<int> g_debugChannel{0};
std::atomic<int> g_liveSinks{0};
std::mutex g_setupMutex;

std::atomic<smp_io*> g_console{nullptr};

int SetUpSink() {
  std::lock_guard<std::mutex> lock(g_setupMutex);
  int mask = g_mask.load(std::memory_order_acquire);
  if (mask != kMaskNotRead) return mask;
  mask = 0;
  if (settings::Config() != nullptr && !settings::ZarnConsole(&mask)) {
    mask = (port::GetVersion() & 0x80000000u) == 0 ? 1 : 0;
  }
  if (mask == kMaskNotRead) mask = 0;
  intptr_t handle = port::kInvalidHandle;
  if ((mask & 1) != 0) {
    handle = port::StdOutputHandle();
    if (handle == port::kInvalidHandle) {
      port::AllocConsole();
      handle = port::StdOutputHandle();
    }
  }
  g_outputHandle.store(handle, std::memory_order_relaxed);
  g_debugChannel.store((mask & 2) != 0 ? 1 : 0, std::memory_order_relaxed);
  g_mask.store(mask, std::memory_order_release);
  return mask;
}

int CurrentMask() {
  const int mask = g_mask.load(std::memory_order_acquire);
  return mask == kMaskNotRead ? SetUpSink() : mask;
}

}  // namespace

// Replacing a stream's sink for a while (the deadlock report puts a sink of
// its own in place, then destroys it).
//
// The problem: an operation loads the sink pointer and then calls it. A
// replacer that swaps the pointer back and destroys its sink can do so in
// between, or, for endl, between its write and its flush; the operation then
// calls into a destroyed object. Counting inside the sink can't close the
// first gap, since the count is only reached through the pointer.
//
// The way chosen: each operation counts itself in on the stream before it
// loads the pointer, and out when it no longer uses the sink (SinkUse). A
// replacer exchanges the pointer and then waits until every operation that
// counted in before the exchange has counted out; only those can hold the old
// sink, since one counting in later loads the pointer after the exchange.
//
// One counter would do, but under a steady stream of writers it may never be
// seen at zero. So there are two, and the parity of an epoch picks the one a
// new operation uses. The replacer moves the epoch on, which sends new
// operations to the other counter, and waits for the one it left to drain;
// then it moves the epoch again and waits for the other. Each counter has
// then been seen at zero after the exchange, so everything counted in before
// it is out, and neither wait lasts longer than the operations that read the
// epoch before the move. All accesses are sequentially consistent: the proof
// needs the order of "count in, load pointer" against "exchange pointer,
// move epoch, read counter". Replacers are serialised, so the epoch moves
// exactly twice per replacement.
//
// Not guaranteed: anything about code that stores into the sink field
// directly, or about a stream destroyed while operations are under way.
class SinkUse {
 public:
  explicit SinkUse(smp_io& stream) : stream_(stream), counter_(stream.sinkEpoch_.load() & 1u) {
    stream_.sinkUsers_[counter_].fetch_add(1);
    sink_ = stream_.sink.load();
  }
  ~SinkUse() { stream_.sinkUsers_[counter_].fetch_sub(1); }

  // A stream whose sink could not be made (memory ran out) writes nothing.
  void Write(const char* text, int len) const {
    if (sink_ != nullptr) sink_->writeOutput(text, len);
  }
  void Flush() const {
    if (sink_ != nullptr) sink_->flush();
  }

  SinkUse(const SinkUse&) = delete;
  SinkUse& operator=(const SinkUse&) = delete;

 private:
  smp_io& stream_;
  const unsigned counter_;
  _smp_io* sink_;
};

namespace {

std::mutex g_sinkExchangeMutex;  // one replacer at a time, process-wide

// Hands a number's text to the stream's sink.
template <typename T>
smp_io& WriteNumber(smp_io& stream, T value) {
  const NumberText text(value);
  if (text.size() > 0) SinkUse(stream).Write(text.data(), text.size());
  return stream;
}

}  // namespace

smp_io* ExchangeConsole(smp_io* stream) {
  return g_console.exchange(stream, std::memory_order_acq_rel);
}

void WritePendingText() {
  line_buffer::Flush();
}

}  // namespace re5zor4

namespace port = re5zor4::port;
using re5zor4::g_liveSinks;

// ---------------------------------------------------------------------------
// _smp_io

_smp_io::_smp_io() {
  g_liveSinks.fetch_add(1, std::memory_order_relaxed);
}

_smp_io::~_smp_io() {
  if (g_liveSinks.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::lock_guard<std::mutex> lock(re5zor4::g_setupMutex);
    re5zor4::g_outputHandle.store(port::kInvalidHandle, std::memory_order_relaxed);
    re5zor4::g_debugChannel.store(0, std::memory_order_relaxed);
    re5zor4::g_mask.store(re5zor4::kMaskNotRead, std::memory_order_release);
  }
}

void _smp_io::writeOutput(const char* text, int len) {
  if (text == nullptr || text[0] == '\0' || len < -1 || len == 0) return;
  const int mask = re5zor4::CurrentMask();
  if (mask == 0) return;
  if (len == -1) len = static_cast<int>(std::strlen(text));
  const intptr_t handle = re5zor4::g_outputHandle.load(std::memory_order_relaxed);
  if (handle != port::kInvalidHandle) re5zor4::line_buffer::Write(handle, text, len);
  if (re5zor4::g_debugChannel.load(std::memory_order_relaxed) != 0) {
    re5zor4::line_buffer::WriteDebug(text, len);
  }
}

void _smp_io::flush() {
  if (re5zor4::CurrentMask() == 0) return;
  re5zor4::line_buffer::Flush();
}

// ---------------------------------------------------------------------------
// smp_io

smp_io::smp_io() : sink(re5zor4::seam::New<_smp_io>()), sinkEpoch_(0), sinkUsers_{{0}, {0}} {}

smp_io::~smp_io() {
  delete sink.exchange(nullptr, std::memory_order_acq_rel);
}

smp_io& smp_io::operator<<(const char* text) {
  re5zor4::SinkUse(*this).Write(text, -1);
  return *this;
}

smp_io& smp_io::operator<<(int value) {
  return re5zor4::WriteNumber(*this, value);
}
smp_io& smp_io::operator<<(unsigned int value) {
  return re5zor4::WriteNumber(*this, value);
}
smp_io& smp_io::operator<<(short value) {
  return re5zor4::WriteNumber(*this, value);
}
smp_io& smp_io::operator<<(unsigned short value) {
  return re5zor4::WriteNumber(*this, value);
}
smp_io& smp_io::operator<<(long value) {
  return re5zor4::WriteNumber(*this, value);
}
smp_io& smp_io::operator<<(unsigned long value) {
  return re5zor4::WriteNumber(*this, value);
}
smp_io& smp_io::operator<<(float value) {
  return re5zor4::WriteNumber(*this, value);
}
smp_io& smp_io::operator<<(double value) {
  return re5zor4::WriteNumber(*this, value);
}

smp_io& smp_io::operator<<(char value) {
  const char text[2] = {value, '\0'};
  re5zor4::SinkUse(*this).Write(text, 1);
  return *this;
}

smp_io& smp_io::operator<<(void* value) {
  return re5zor4::WriteNumber(*this, value);
}

int smp_io::Print(const char* text, int len) {
  re5zor4::SinkUse(*this).Write(text, len);
  return len;
}

smp_io& smp_io::flush() {
  re5zor4::SinkUse(*this).Flush();
  return *this;
}

smp_io& smp_io::flush(smp_io& stream) {
  return stream.flush();
}

_smp_io* smp_io::ExchangeSink(_smp_io* replacement) {
  std::lock_guard<std::mutex> lock(re5zor4::g_sinkExchangeMutex);
  _smp_io* const previous = sink.exchange(replacement);
  for (int round = 0; round < 2; ++round) {
    const unsigned left = sinkEpoch_.fetch_add(1) & 1u;
    while (sinkUsers_[left].load() != 0) port::Sleep(0);
  }
  return previous;
}

smp_io& smp_io::operator<<(smp_io& (*manipulator)(smp_io&)) {
  return manipulator(*this);
}

smp_io& endl(smp_io& stream) {
  const re5zor4::SinkUse sink(stream);  // the same sink for both calls
  sink.Write("\n", 1);
  sink.Flush();
  return stream;
}

smp_io& ARROW(smp_io& stream) {
  re5zor4::SinkUse(stream).Write(" --> ", 5);
  return stream;
}

smp_io& UNKNOWN_ERROR(smp_io& stream) {
  re5zor4::SinkUse(stream).Write("unknown error", 13);
  return stream;
}

smp_io* GetConsole() {
  return re5zor4::g_console.load(std::memory_order_acquire);
}

smp_io* Console(smp_io* stream) {
  if (stream == nullptr) return GetConsole();
  return re5zor4::g_console.exchange(stream, std::memory_order_acq_rel);
}
