// The per-thread line buffers.
#include "core/line_buffer.h"

#include <cstring>
#include <string>

#include "core/seam.h"
#include "core/thread_record.h"
#include "platform/port.h"

namespace re5zor4 {

struct LineBuffer {
  char data[1024];
  int used = 0;
  // Where the pending text goes: the handle in force when it was collected,
  // so text accepted before the output was switched off is still written.
  intptr_t handle = port::kInvalidHandle;
  // Text for the debugger channel's default output: made at the thread's
  // first such text (null until then), debugUsed bytes of it pending.
  char* debugData = nullptr;
  int debugUsed = 0;
  // The loading thread writes its standard output at once.
  bool direct = false;
};

namespace line_buffer {
namespace {

constexpr int kCapacity = static_cast<int>(sizeof(LineBuffer::data));

// The thread that ran the library's initialisers.
const uintptr_t g_loaderThread = port::LockOwnerId();

LineBuffer* Buffer(bool create) {
  ThreadRecord* record = create ? thread_record::Current() : thread_record::Find();
  if (record == nullptr) return nullptr;
  if (record->buffer != nullptr || !create) return record->buffer;
  record->buffer = seam::New<LineBuffer>();
  if (record->buffer != nullptr) record->buffer->direct = port::LockOwnerId() == g_loaderThread;
  return record->buffer;
}

void WriteTo(intptr_t handle, const char* data, int len) {
  if (len <= 0 || handle == port::kInvalidHandle) return;
  if (seam::WriteFails(data, static_cast<size_t>(len))) return;
  port::WriteFile(handle, data, static_cast<size_t>(len));
}

// The channel takes NUL-terminated texts: copy, on the stack when the text
// is no longer than a buffer.
void SendToDebugger(const char* text, int len) {
  if (seam::WriteFails(text, static_cast<size_t>(len))) return;
  char small[kCapacity + 1];
  if (len < static_cast<int>(sizeof small)) {
    std::memcpy(small, text, static_cast<size_t>(len));
    small[len] = '\0';
    port::OutputDebugString(small);
  } else {
    port::OutputDebugString(std::string(text, static_cast<size_t>(len)).c_str());
  }
}

// Adds len bytes of text to the pending text data[0, used) of an area of
// kCapacity bytes, by the rules in the header; emit(text, length) writes.
template <typename Emit>
void Collect(char* data, int& used, const char* text, int len, Emit emit) {
  if (len <= kCapacity - used) {
    std::memcpy(data + used, text, static_cast<size_t>(len));
    used += len;
    return;
  }
  int complete = used;  // up to and with the last line end
  while (complete > 0 && data[complete - 1] != '\n') --complete;
  if (complete > 0) {
    emit(data, complete);
    std::memmove(data, data + complete, static_cast<size_t>(used - complete));
    used -= complete;
    if (len <= kCapacity - used) {
      std::memcpy(data + used, text, static_cast<size_t>(len));
      used += len;
      return;
    }
  }
  // The unfinished line is longer than the area: it can't stay whole.
  if (used > 0) emit(data, used);
  used = 0;
  if (len <= kCapacity) {
    std::memcpy(data, text, static_cast<size_t>(len));
    used = len;
  } else {
    emit(text, len);
  }
}

void FlushText(LineBuffer* buffer) {
  WriteTo(buffer->handle, buffer->data, buffer->used);
  buffer->used = 0;
}

void FlushDebugText(LineBuffer* buffer) {
  if (buffer->debugUsed == 0) return;
  SendToDebugger(buffer->debugData, buffer->debugUsed);
  buffer->debugUsed = 0;
}

// The thread that ends the process runs no thread end: what it still has
// pending is written as the library's statics go.
struct FlushAtExit {
  ~FlushAtExit() { Flush(); }
} g_flushAtExit;

}  // namespace

void Write(intptr_t handle, const char* text, int len) {
  LineBuffer* buffer = Buffer(true);
  if (buffer == nullptr || buffer->direct) {
    WriteTo(handle, text, len);
    return;
  }
  if (buffer->used != 0 && buffer->handle != handle) FlushText(buffer);
  buffer->handle = handle;
  Collect(buffer->data, buffer->used, text, len,
          [buffer](const char* piece, int length) { WriteTo(buffer->handle, piece, length); });
}

void WriteDebug(const char* text, int len) {
  if (port::DebugOutputReplaced()) {
    if (LineBuffer* buffer = Buffer(false)) FlushDebugText(buffer);
    SendToDebugger(text, len);
    return;
  }
  LineBuffer* buffer = Buffer(true);
  if (buffer != nullptr && buffer->debugData == nullptr) {
    buffer->debugData = static_cast<char*>(seam::Allocate(kCapacity));
  }
  if (buffer == nullptr || buffer->debugData == nullptr) {
    SendToDebugger(text, len);  // out of memory: the pieces go as they are
    return;
  }
  Collect(buffer->debugData, buffer->debugUsed, text, len,
          [](const char* piece, int length) { SendToDebugger(piece, length); });
}

void Flush() {
  if (LineBuffer* buffer = Buffer(false)) {
    FlushText(buffer);
    FlushDebugText(buffer);
  }
}

void Release(ThreadRecord* record) {
  LineBuffer* buffer = record->buffer;
  if (buffer == nullptr) return;
  FlushText(buffer);
  FlushDebugText(buffer);
  record->buffer = nullptr;
  ::operator delete(buffer->debugData);
  delete buffer;
}

}  // namespace line_buffer
}  // namespace re5zor4
