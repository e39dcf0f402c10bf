// The few operating-system services the tests use themselves, on both
// systems: the calling thread's kernel id, a look at another thread's state,
// and a bounded child-process runner. Cases that only make sense on POSIX
// (signals, fork, /proc, raw pthreads) are compiled under
// RE5ZOR4_TEST_POSIX_ONLY instead.
#ifndef RE5ZOR4_TESTS_SUPPORT_TEST_OS_H_
#define RE5ZOR4_TESTS_SUPPORT_TEST_OS_H_

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef CreateEvent
#undef MessageBox
#undef OutputDebugString
#undef GetVersionEx
#else
#define RE5ZOR4_TEST_POSIX_ONLY 1
#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace re5zor4_test {

// The system's codes the library reports for a thread that could not be made
// and for a control (suspend, resume) of a thread that has ended; whether the
// platform's default debugger channel is standard error (POSIX) rather than a
// debugger's own (Win32: OutputDebugStringA, seen only by a debugger).
#if defined(_WIN32)
constexpr int kOutOfResourcesCode = 8;  // ERROR_NOT_ENOUGH_MEMORY
constexpr int kThreadGoneCode = 5;      // ERROR_ACCESS_DENIED
constexpr bool kDebugChannelIsStderr = false;
#else
constexpr int kOutOfResourcesCode = EAGAIN;
constexpr int kThreadGoneCode = ESRCH;
constexpr bool kDebugChannelIsStderr = true;
#endif

// The calling thread's kernel id (the one the library reports).
inline int OsThreadId() {
#if defined(_WIN32)
  return static_cast<int>(::GetCurrentThreadId());
#else
  return static_cast<int>(syscall(SYS_gettid));
#endif
}

// The address of a C export of the library's module (re5zor4.dll on Win32),
// looked up by its plain name; null when no such name is exported.
inline void* FindLibraryExport(const char* name) {
#if defined(_WIN32)
  HMODULE module = ::GetModuleHandleA("re5zor4.dll");
  return module != nullptr ? reinterpret_cast<void*>(::GetProcAddress(module, name)) : nullptr;
#else
  return dlsym(RTLD_DEFAULT, name);
#endif
}

// The process's mapped address space in KiB (VmSize), -1 when unknown.
inline long AddressSpaceKb() {
#if defined(_WIN32)
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!::GlobalMemoryStatusEx(&status)) return -1;
  return static_cast<long>((status.ullTotalVirtual - status.ullAvailVirtual) / 1024);
#else
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line) && line.rfind("VmSize:", 0) != 0) continue;
  return line.empty() ? -1L : std::stol(line.substr(7));
#endif
}

// A pointer as the library's streams write it ("0x" and lower-case hex
// digits, unpadded), whatever the C library's "%p" does.
inline std::string PointerText(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}

// Online processors.
inline unsigned long OnlineProcessors() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
#else
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned long>(online) : 0;
#endif
}

// Keeps the calling process (Win32) or thread (Linux; threads made later
// inherit it) on the processor it runs on. False when refused.
inline bool PinToOneProcessor() {
#if defined(_WIN32)
  const DWORD cpu = ::GetCurrentProcessorNumber();
  return ::SetProcessAffinityMask(::GetCurrentProcess(), static_cast<DWORD_PTR>(1) << cpu) != 0;
#else
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  return sched_setaffinity(0, sizeof one, &one) == 0;
#endif
}

// Sets (or, with an empty value on Win32, removes) an environment variable.
inline void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

// Ends the process at once with code, after flushing the C streams: no
// destructor, exit handler or module clean-up runs. On Win32 that is
// TerminateProcess: ExitProcess (what _exit calls there) still runs every
// DLL's static destructors after the other threads are killed, and one that
// takes a lock such a thread held would hang the child.
[[noreturn]] inline void QuickExit(int code) {
  std::fflush(nullptr);
#if defined(_WIN32)
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
#endif
  std::_Exit(code);
}

// Runs body on a thread that its caller never joins. On Win32 the thread is
// not detached either but joined by a helper thread once body has returned:
// detaching a thread that may already have ended races in MinGW's winpthreads
// (a thread started later can be handed the ended one's freed start record).
inline void StartUnjoined(std::function<void()> body) {
#if defined(_WIN32)
  // Threads by serial number, and the serial numbers of those whose body
  // returned; never destroyed, so they outlive every thread.
  struct Unjoined {
    std::mutex mutex;
    std::condition_variable finished_cv;
    std::map<unsigned, std::thread> running;
    std::vector<unsigned> finished;
    unsigned next = 0;

    void Reap() {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        finished_cv.wait(lock, [this] { return !finished.empty(); });
        const unsigned serial = finished.back();
        finished.pop_back();
        std::thread thread = std::move(running.at(serial));
        running.erase(serial);
        lock.unlock();
        thread.join();  // body has returned: only the thread's end is left
        lock.lock();
      }
    }
  };
  static Unjoined* const all = new Unjoined;
  static std::thread* const reaper = new std::thread([] { all->Reap(); });
  static_cast<void>(reaper);
  std::lock_guard<std::mutex> lock(all->mutex);
  const unsigned serial = all->next++;
  all->running.emplace(serial, std::thread([serial, body = std::move(body)] {
                         body();
                         std::lock_guard<std::mutex> done(all->mutex);
                         all->finished.push_back(serial);
                         all->finished_cv.notify_one();
                       }));
#else
  std::thread(std::move(body)).detach();
#endif
}

// Ends the process with code 14 after seconds, whatever it is doing: the
// bound of a child that may block for ever.
inline void ExitAfter(unsigned seconds) {
#if defined(_WIN32)
  std::thread([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    QuickExit(14);
  }).detach();
#else
  alarm(seconds);
#endif
}

// The C library's ctime text of t ("Www Mmm dd hh:mm:ss yyyy\n"), the way
// the library writes its time lines.
inline std::string CtimeText(std::time_t t) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm parts{};
#if defined(_WIN32)
  if (localtime_s(&parts, &t) != 0) return std::string();
#else
  if (localtime_r(&t, &parts) == nullptr) return std::string();
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d\n", kDays[parts.tm_wday % 7],
                kMonths[parts.tm_mon % 12], parts.tm_mday, parts.tm_hour, parts.tm_min,
                parts.tm_sec, parts.tm_year + 1900);
  return text;
}

// The state letter of a thread of this process: 'S' while it sleeps in a
// wait, 'R' while it runs, 0 once it is gone.
//
// Win32 has no such letter to read: a thread that still exists and used no
// processor time across a short look counts as asleep. The look is a
// measurement, not an ordering: callers poll it inside a bounded WaitUntil.
inline char TaskState(int tid) {
#if defined(_WIN32)
  HANDLE thread =
      ::OpenThread(THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(tid));
  if (thread == nullptr) return 0;
  char state = 0;
  if (::WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) {
    auto busy = [thread]() -> uint64_t {
      FILETIME created, exited, kernel, user;
      if (!::GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
      return (static_cast<uint64_t>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
             (static_cast<uint64_t>(user.dwHighDateTime) << 32 | user.dwLowDateTime);
    };
    const uint64_t before = busy();
    ::Sleep(30);
    state = ::WaitForSingleObject(thread, 0) != WAIT_TIMEOUT ? 0 : busy() == before ? 'S' : 'R';
  }
  ::CloseHandle(thread);
  return state;
#else
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
#endif
}

// Runs body in a child process and fails the calling test unless the child
// ends by itself without a failure. Expectations that fail in the child (on
// any thread) are printed there; a child still running after bound is ended.
//
// POSIX: a forked child, killed from outside after the bound. REQUIRES: the
// calling process runs no other thread.
// Win32: a gtest death test, which runs the test program again up to this
// statement; a watchdog thread in the child ends it after the bound.
inline void RunInChild(const std::function<void()>& body,
                       std::chrono::seconds bound = std::chrono::seconds(20)) {
  std::fflush(nullptr);
#if defined(_WIN32)
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(
      {
        std::thread([bound] {
          std::this_thread::sleep_for(bound);
          std::fputs("child process ended by its watchdog\n", stderr);
          QuickExit(3);
        }).detach();
        body();
        QuickExit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
#else
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  ASSERT_GT(pid, 0) << "fork failed";
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "child process killed after " << bound.count() << " s";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "child process failed, wait status " << status;
  }
#endif
}

}  // namespace re5zor4_test

#endif  // RE5ZOR4_TESTS_SUPPORT_TEST_OS_H_
