// The event log: ZnLog, its file state ZnLogImpl and the installed-log
// pointer.
#include "re5zor4/znlog.h"

#include <cstdio>
#include <mutex>
#include <new>

#include "core/number_text.h"
#include "core/seam.h"
#include "core/settings.h"
#include "platform/port.h"

namespace {

// The installed log. Atomic: any thread may install or read it.
std::atomic<ZnLog*> g_log{nullptr};

constexpr char kDefaultLogFile[] = "znevent.log";
constexpr size_t kNameCapacity = 1024;  // the text lookup's buffer size

}  // namespace

// The file state of one ZnLog. Slot order: destructor, write, flush, open,
// close.
//
// Every operation holds mutex_, which is recursive because write and flush
// call open and close. The lock makes each write and each flush indivisible,
// so that a thread's flush can never close the stream under another thread's
// write, and a stream is never opened twice.
class ZnLogImpl {
 public:
  // Reads "enableLogFile" (16-bit, default 0). The file stays closed.
  ZnLogImpl();
  // Closes the file when it is open.
  virtual ~ZnLogImpl();

  // Opens the file if it is closed; drops the text when it cannot be opened.
  // len -1 writes text up to its NUL; any other negative len writes nothing.
  virtual void write(const char* text, int len);
  // Flushes and closes the file when it is open.
  virtual void flush();
  // Opens the configured file for appending and writes the time-stamp line.
  // Returns 0, also when the file cannot be opened (file_ stays null).
  virtual int open();
  // Closes the file when it is open. Returns 0.
  virtual int close();

  short enabled;  // "enableLogFile"; set once, read-only afterwards

  ZnLogImpl(const ZnLogImpl&) = delete;
  ZnLogImpl& operator=(const ZnLogImpl&) = delete;

 private:
  std::recursive_mutex mutex_;
  std::FILE* file_;  // guarded by mutex_; null while closed
};

ZnLogImpl::ZnLogImpl() : enabled(0), file_(nullptr) {
  re5zor4::settings::EnableLogFile(&enabled);
}

ZnLogImpl::~ZnLogImpl() {
  close();
}

void ZnLogImpl::write(const char* text, int len) {
  if (text == nullptr || len < -1) return;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (file_ == nullptr) open();
  if (file_ == nullptr) return;
  if (len == -1) {
    std::fputs(text, file_);
  } else if (len > 0) {
    std::fwrite(text, 1, static_cast<size_t>(len), file_);
  }
}

void ZnLogImpl::flush() {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (file_ == nullptr) return;
  std::fflush(file_);
  close();
}

int ZnLogImpl::open() {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (file_ != nullptr) return 0;
  char buffer[kNameCapacity];
  std::snprintf(buffer, sizeof buffer, "%s", kDefaultLogFile);
  char* name = buffer;
  re5zor4::settings::LogFile(&name);
  if (name == nullptr) return 0;
  file_ = std::fopen(name, "a+");
  if (file_ == nullptr) return 0;

  char stamp[64];
  if (re5zor4::port::FormatLocalTime(stamp, sizeof stamp) != 0) std::fputs(stamp, file_);
  std::fflush(file_);
  return 0;
}

int ZnLogImpl::close() {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  return 0;
}

namespace {

// Writes a number's text through impl (null: nothing).
template <typename T>
void WriteNumber(ZnLogImpl* impl, T value) {
  const re5zor4::NumberText text(value);
  if (impl != nullptr && text.size() > 0) impl->write(text.data(), text.size());
}

}  // namespace

ZnLog::ZnLog() : impl_(nullptr) {}

void ZnLog::CallDestructor(void* where) {
  if (where != nullptr) {
    // A destructor call through a pointer dispatches on the object's own
    // virtual table, so a derived log at where is destroyed completely.
    static_cast<ZnLog*>(where)->~ZnLog();
  } else {
    delete this;
  }
}

ZnLog::~ZnLog() {
  delete impl_.exchange(nullptr, std::memory_order_acq_rel);
}

ZnLogImpl* ZnLog::Impl() {
  ZnLogImpl* current = impl_.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  ZnLogImpl* fresh = re5zor4::seam::New<ZnLogImpl>();
  if (fresh == nullptr) return nullptr;
  if (impl_.compare_exchange_strong(current, fresh, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
    return fresh;
  }
  delete fresh;  // another thread made it first; current is its impl
  return current;
}

ZnLog& ZnLog::operator<<(const char* text) {
  if (ZnLogImpl* impl = Impl()) impl->write(text, -1);
  return *this;
}

ZnLog& ZnLog::operator<<(int value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(unsigned int value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(short value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(unsigned short value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(long value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(unsigned long value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(float value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(double value) {
  WriteNumber(Impl(), value);
  return *this;
}

ZnLog& ZnLog::operator<<(char value) {
  if (ZnLogImpl* impl = Impl()) impl->write(&value, 1);
  return *this;
}

ZnLog& ZnLog::operator<<(void* value) {
  WriteNumber(Impl(), value);
  return *this;
}

int ZnLog::Print(const char* text, int len) {
  if (ZnLogImpl* impl = Impl()) impl->write(text, len);
  return len;
}

ZnLog& ZnLog::flush() {
  if (ZnLogImpl* impl = Impl()) impl->flush();
  return *this;
}

ZnLog& ZnLog::flush(ZnLog& other) {
  return other.flush();
}

ZnLog& ZnLog::operator<<(ZnLog& (*manipulator)(ZnLog&)) {
  if (manipulator == nullptr) return *this;
  return manipulator(*this);
}

ZnLog* ZnLog::GetLog() {
  return g_log.load(std::memory_order_acquire);
}

ZnLog* ZnLog::SetLog(ZnLog* log) {
  return g_log.exchange(log, std::memory_order_acq_rel);
}

short ZnLog::LoggingEnabled() {
  ZnLog* log = g_log.load(std::memory_order_acquire);
  if (log == nullptr) return 0;
  ZnLogImpl* impl = log->Impl();
  return impl != nullptr ? impl->enabled : 0;
}
