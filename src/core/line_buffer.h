// The per-thread line buffers of the diagnostic output.
//
// Each thread collects its text for standard output in a buffer of 1024
// bytes and writes it in one piece when flushed, so lines of different
// threads never interleave. The thread that loaded the library has no buffer
// for standard output (its text is written at once), as with the Win32
// loader, which hands buffers only to the threads it starts after loading.
//
// Debugger channel. The platform's default channel shows each message on a
// line of its own, so handing it every piece as written would break each
// line into its pieces. A thread therefore collects its debugger text in a
// second area, under the same rules, and hands it over at flush: a line
// reaches the default channel whole. A sink the host installed
// (ZnSetDebugOutput) still receives every piece the moment it is written;
// text collected for the default channel before that goes first, so the
// order stays.
//
// A buffer never drops text. When a piece does not fit, the complete lines
// already collected are written out first, keeping the unfinished line; if
// that line and the piece still don't fit (the line is longer than the
// buffer), everything pending goes out and the piece is buffered or, when
// longer than the buffer, written directly. So every line that fits the
// buffer reaches the output in one write.
//
// The buffer lives in the thread record; the thread-end routine writes what
// is pending and frees it. Every function works on the calling thread's
// buffer.
#ifndef RE5ZOR4_SRC_CORE_LINE_BUFFER_H_
#define RE5ZOR4_SRC_CORE_LINE_BUFFER_H_

#include <cstdint>

namespace re5zor4 {

struct ThreadRecord;

namespace line_buffer {

// Text for standard output: collected, or written to handle at once by the
// loading thread and when memory runs out.
void Write(intptr_t handle, const char* text, int len);
// Text for the debugger channel.
void WriteDebug(const char* text, int len);
// Writes out everything the calling thread has pending; the buffer stays.
void Flush();
// Writes out and frees record's buffer. REQUIRES: record is the caller's.
void Release(ThreadRecord* record);

}  // namespace line_buffer
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_LINE_BUFFER_H_
