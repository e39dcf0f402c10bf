#include "support/test_support.h"

#include "support/test_os.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "re5zor4/hooks.h"
#include "re5zor4/module.h"
#include "ru5red4/znassert.h"
#include "ru5red4/znconfig.h"

namespace re5zor4_test {

void ModuleEnvironment::SetUp() {
  ___ZnExtendedContext(1);
}
void ModuleEnvironment::TearDown() {
  ___ZnExtendedContext(0);
}

FdCapture::FdCapture(int fd) : fd_(fd), saved_(-1), file_(-1) {
#if defined(_WIN32)
  // The library writes through the system's standard handles, not the C
  // runtime's descriptors: both are pointed at the file.
  char name[MAX_PATH];
  char dir[MAX_PATH];
  const DWORD len = ::GetTempPathA(sizeof dir, dir);
  if (len == 0 || len >= sizeof dir || ::GetTempFileNameA(dir, "r5c", 0, name) == 0) return;
  path_ = name;
  file_ = _open(name, _O_RDWR | _O_BINARY | _O_TRUNC);
  std::fflush(fd_ == 1 ? stdout : stderr);
  saved_ = _dup(fd_);
  _dup2(file_, fd_);
  ::SetStdHandle(fd_ == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
                 reinterpret_cast<HANDLE>(_get_osfhandle(fd_)));
#else
  char name[] = "/tmp/re5zor4-capture-XXXXXX";
  file_ = mkstemp(name);
  path_ = name;
  saved_ = dup(fd_);
  dup2(file_, fd_);
#endif
}

FdCapture::~FdCapture() {
  if (file_ < 0) return;
#if defined(_WIN32)
  std::fflush(fd_ == 1 ? stdout : stderr);
  _dup2(saved_, fd_);
  ::SetStdHandle(fd_ == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
                 reinterpret_cast<HANDLE>(_get_osfhandle(fd_)));
  _close(saved_);
  _close(file_);
  std::remove(path_.c_str());
#else
  dup2(saved_, fd_);
  close(saved_);
  close(file_);
  unlink(path_.c_str());
#endif
}

std::string FdCapture::Text() const {
  std::string text;
  std::ifstream in(path_, std::ios::binary);
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(in.gcount()));
  }
  return text;
}

namespace {

std::mutex g_captureMutex;
std::string g_debugText;
std::vector<AssertReport> g_asserts;
std::vector<PromptRecord> g_prompts;
std::atomic<int> g_promptAnswer{1};
std::function<void(const PromptRecord&)> g_promptCallback;

void CaptureDebug(const char* text) {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  g_debugText += text;
}

void CaptureAssert(const char* expression, const char* file, int line) {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  g_asserts.push_back({expression, file, line});
}

int CapturePrompt(const char* caption, const char* text, unsigned style) {
  PromptRecord record{caption, text, style};
  std::function<void(const PromptRecord&)> callback;
  {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    g_prompts.push_back(record);
    callback = g_promptCallback;
  }
  if (callback) callback(record);
  return g_promptAnswer.load();
}

}  // namespace

DebugOutputCapture::DebugOutputCapture() {
  Clear();
  ZnSetDebugOutput(&CaptureDebug);
}
DebugOutputCapture::~DebugOutputCapture() {
  ZnSetDebugOutput(nullptr);
}
std::string DebugOutputCapture::Text() const {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  return g_debugText;
}
void DebugOutputCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  g_debugText.clear();
}

void RecordingSink::writeOutput(const char* text, int len) {
  if (text == nullptr || text[0] == '\0') return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (len == -1) {
    text_ += text;
  } else if (len > 0) {
    text_.append(text, static_cast<size_t>(len));
  }
}
void RecordingSink::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++flushes_;
}
std::string RecordingSink::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}
int RecordingSink::Flushes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flushes_;
}

SinkSwap::SinkSwap(smp_io* stream) : stream_(stream), previous_(stream->sink.exchange(&sink_)) {}
SinkSwap::~SinkSwap() {
  stream_->sink.store(previous_);
}

AssertCapture::AssertCapture() {
  {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    g_asserts.clear();
  }
  ZARN_SetAssertHandler(&CaptureAssert);
}
AssertCapture::~AssertCapture() {
  ZARN_SetAssertHandler(nullptr);
}
std::vector<AssertReport> AssertCapture::Reports() const {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  return g_asserts;
}

PromptCapture::PromptCapture(int answer) {
  {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    g_prompts.clear();
    g_promptCallback = nullptr;
  }
  g_promptAnswer.store(answer);
  ZnSetPromptFunction(&CapturePrompt);
}
PromptCapture::~PromptCapture() {
  ZnSetPromptFunction(nullptr);
  std::lock_guard<std::mutex> lock(g_captureMutex);
  g_promptCallback = nullptr;
}
std::vector<PromptRecord> PromptCapture::Prompts() const {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  return g_prompts;
}
void PromptCapture::SetAnswer(int answer) {
  g_promptAnswer.store(answer);
}
void PromptCapture::OnPrompt(std::function<void(const PromptRecord&)> callback) {
  std::lock_guard<std::mutex> lock(g_captureMutex);
  g_promptCallback = std::move(callback);
}

void Latch::CountDown() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--count_ <= 0) cv_.notify_all();
}

bool Latch::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, kBound, [this] { return count_ <= 0; });
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SetConfig(const char* key, const char* value) {
  DefaultConfig(reinterpret_cast<ZnConfig*>(-1))->SetValue("debug", key, value);
}

ZnCritSect* MakeSection(bool detecting, const char* name) {
  const int previous = ZnSetDeadLockDetection(detecting ? 1 : 0);
  ZnCritSect* section = ZnCritSect::Make(name);
  ZnSetDeadLockDetection(previous);
  return section;
}

}  // namespace re5zor4_test
