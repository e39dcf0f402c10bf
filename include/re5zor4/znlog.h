// The event log: a text file for the host's own event records.
//
// ZnLog offers the write operations of the diagnostic stream, but every write
// goes into a file: "znevent.log" in the current directory, or the file named
// by the configuration key "logFile" in section "debug" (looked up each time
// the file is opened). The file is opened for appending at the first write
// after a flush and never truncated; each opening starts with one time-stamp
// line, and flush() closes the file again. So every flushed batch of writes
// is one record:
//
//   Wed Jun 30 21:49:08 1993\n      time-stamp line (24 characters + '\n')
//   <exactly the bytes written until the flush>
//
// Nothing is added between or after records: line ends are part of the text
// the host writes.
//
// Numbers are written as printf would with "%d" (int, short), "%u" (unsigned
// int, unsigned short), "%ld", "%lu", "%f" (float, widened), "%lf" (double)
// and "0x%lx" (void*), never cut short; a char is written as exactly one byte.
//
// When the file cannot be opened the text of that write is dropped silently
// and the next write tries again.
//
// LoggingEnabled() reports the configuration switch "enableLogFile" (16-bit,
// default 0) as read once, when the installed log first needed its file state.
// Writers test it themselves: the log writes whatever it is given.
//
// Ownership: the host creates a ZnLog and installs it with SetLog; the module
// never deletes it. A ZnLog owns its file state and closes the file when it is
// destroyed.
//
// Thread safety: the installed-log pointer is atomic. Any thread may write to
// a log; each single write and each flush is indivisible, so writes from
// several threads interleave whole, never byte by byte. A log is destroyed
// only when no other thread uses it.
#ifndef RE5ZOR4_ZNLOG_H_
#define RE5ZOR4_ZNLOG_H_

#include <atomic>

#include "re5zor4/export.h"

class ZnLogImpl;

// Slot order (the host calls through it): CallDestructor, destructor, the
// operator<< overloads in the order below, Print, flush(), flush(ZnLog&), the
// manipulator hook.
class RE5ZOR4_API ZnLog {
 public:
  ZnLog();

  // With a non-null where: runs the destructor of the log object at where
  // (dispatched through that object's virtual table) and leaves its memory
  // alone. With null: destroys this log and releases its memory.
  virtual void CallDestructor(void* where);
  // Closes the file when it is open.
  virtual ~ZnLog();

  // Text up to its NUL; a null text writes nothing.
  virtual ZnLog& operator<<(const char* text);
  virtual ZnLog& operator<<(int value);             // "%d"
  virtual ZnLog& operator<<(unsigned int value);    // "%u"
  virtual ZnLog& operator<<(short value);           // "%d"
  virtual ZnLog& operator<<(unsigned short value);  // "%u"
  virtual ZnLog& operator<<(long value);            // "%ld"
  virtual ZnLog& operator<<(unsigned long value);   // "%lu"
  virtual ZnLog& operator<<(float value);           // "%f"
  virtual ZnLog& operator<<(double value);          // "%lf"
  virtual ZnLog& operator<<(char value);            // one byte, also NUL
  virtual ZnLog& operator<<(void* value);           // "0x%lx"
  // Writes len bytes of text (-1: up to its NUL; other negative lengths
  // write nothing). Returns len.
  virtual int Print(const char* text, int len);
  // Ends the current record: flushes and closes the file. Opens nothing.
  virtual ZnLog& flush();
  // other.flush(); returns other.
  virtual ZnLog& flush(ZnLog& other);
  // Returns manipulator(*this). The module defines no manipulators.
  virtual ZnLog& operator<<(ZnLog& (*manipulator)(ZnLog&));

  // The installed log, or null.
  static ZnLog* GetLog();
  // Installs log (null uninstalls) and returns the previous one.
  static ZnLog* SetLog(ZnLog* log);
  // 0 when no log is installed (the configuration is not read then);
  // otherwise the installed log's "enableLogFile" value.
  static short LoggingEnabled();

  ZnLog(const ZnLog&) = delete;
  ZnLog& operator=(const ZnLog&) = delete;

 private:
  // The file state, made by the first operation that needs it (which reads
  // "enableLogFile"); two threads racing to make it agree on one.
  ZnLogImpl* Impl();

  std::atomic<ZnLogImpl*> impl_;  // owned; null until first needed
};

#endif  // RE5ZOR4_ZNLOG_H_
