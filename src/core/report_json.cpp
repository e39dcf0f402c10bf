// The machine-readable deadlock report.
#include "core/report_json.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>

namespace re5zor4 {
namespace report_json {
namespace {

std::mutex& AppendMutex() {
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}

void AppendHexEscape(std::string* out, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", value & 0xFFFFu);
  out->append(text);
}

// The length of the well-formed UTF-8 sequence at text (at most left bytes),
// or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t Utf8Length(const unsigned char* text, size_t left) {
  const unsigned char lead = text[0];
  size_t length;
  unsigned minimum;
  unsigned code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code = lead & 0x07u;
  } else {
    return 0;
  }
  if (length > left) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (text[i] & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void AppendString(std::string* out, const char* text) {
  if (text == nullptr) {
    out->append("null");
    return;
  }
  out->push_back('"');
  AppendEscaped(out, text);
  out->push_back('"');
}

void AppendAddress(std::string* out, const void* address) {
  char text[32];
  std::snprintf(text, sizeof text, "\"0x%lx\"",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
  out->append(text);
}

void AppendNumber(std::string* out, uint32_t value) {
  out->append(std::to_string(value));
}

// Starts the next element of a list kept without its brackets.
void NextElement(std::string* list) {
  if (!list->empty()) list->push_back(',');
}

// Days since 1970-01-01 as a civil date (proleptic Gregorian calendar).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

const char kFileName[] = "deadlock.jsonl";

void AppendEscaped(std::string* out, const char* text, size_t length) {
  if (text == nullptr) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < length;) {
    const unsigned char c = bytes[i];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else if (c == '\t') {
      out->append("\\t");
    } else if (c == '\b') {
      out->append("\\b");
    } else if (c == '\f') {
      out->append("\\f");
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(out, c);
    } else if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (const size_t sequence = Utf8Length(bytes + i, length - i)) {
      out->append(text + i, sequence);
      i += sequence;
      continue;
    } else {
      AppendHexEscape(out, c);  // not UTF-8: read as Latin-1
    }
    ++i;
  }
}

void AppendEscaped(std::string* out, const char* text) {
  if (text != nullptr) AppendEscaped(out, text, std::char_traits<char>::length(text));
}

std::string UtcTimeText(int64_t ms) {
  int64_t days = ms / 86400000;
  int64_t rest = ms % 86400000;
  if (rest < 0) {
    rest += 86400000;
    --days;
  }
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ",
                static_cast<long long>(year), month, day, static_cast<unsigned>(rest / 3600000),
                static_cast<unsigned>(rest / 60000 % 60), static_cast<unsigned>(rest / 1000 % 60),
                static_cast<unsigned>(rest % 1000));
  return text;
}

Report::Report(const char* kind) : kind_(kind != nullptr ? kind : "") {}

void Report::AddThread(uint32_t id, bool ended) {
  if (std::find(threadIds_.begin(), threadIds_.end(), id) != threadIds_.end()) return;
  threadIds_.push_back(id);
  NextElement(&threads_);
  threads_.append("{\"id\":");
  AppendNumber(&threads_, id);
  threads_.append(ended ? ",\"ended\":true}" : ",\"ended\":false}");
}

void Report::AddObject(const void* address, const char* name, const char* kind) {
  if (std::find(objects_.begin(), objects_.end(), address) != objects_.end()) return;
  objects_.push_back(address);
  NextElement(&sections_);
  sections_.append("{\"name\":");
  AppendString(&sections_, name);
  sections_.append(",\"address\":");
  AppendAddress(&sections_, address);
  sections_.append(",\"kind\":");
  AppendString(&sections_, kind != nullptr ? kind : "");
  sections_.push_back('}');
}

void Report::AddEdge(uint32_t thread, const char* relation, const void* object) {
  NextElement(&edges_);
  edges_.append("{\"thread\":");
  AppendNumber(&edges_, thread);
  edges_.append(",\"relation\":");
  AppendString(&edges_, relation != nullptr ? relation : "");
  edges_.append(",\"section\":");
  AppendAddress(&edges_, object);
  edges_.push_back('}');
}

void Report::AddStack(uint32_t thread, const std::vector<std::string>& frames,
                      const std::string& note) {
  NextElement(&stacks_);
  stacks_.append("{\"thread\":");
  AppendNumber(&stacks_, thread);
  stacks_.append(",\"frames\":[");
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i != 0) stacks_.push_back(',');
    AppendString(&stacks_, frames[i].c_str());
  }
  stacks_.push_back(']');
  if (!note.empty()) {
    stacks_.append(",\"note\":");
    AppendString(&stacks_, note.c_str());
  }
  stacks_.push_back('}');
}

std::string Report::Line() const {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::string line = "{\"time\":\"" + UtcTimeText(now.count()) + "\",\"kind\":";
  AppendString(&line, kind_.c_str());
  line +=
      ",\"threads\":[" + threads_ + "],\"sections\":[" + sections_ + "],\"edges\":[" + edges_ + "]";
  if (!stacks_.empty()) line += ",\"stacks\":[" + stacks_ + "]";
  line.push_back('}');
  return line;
}

bool Report::Append(const char* path) const {
  const std::string line = Line() + "\n";
  std::lock_guard<std::mutex> hold(AppendMutex());
  // Binary: the line ends in "\n" on every system. Unbuffered: the line
  // goes out in one write, which the append mode puts at the end as a whole.
  std::FILE* file = std::fopen(path, "ab");
  if (file == nullptr) return false;
  std::setvbuf(file, nullptr, _IONBF, 0);
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace report_json
}  // namespace re5zor4
