// Process configuration: an INI-style file parsed into sections of key=value
// texts, guarded by one mutex per object.
#include "ru5red4/znconfig.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"

namespace {

// Transparent comparators let lookups take the caller's C strings without
// allocating.
using Section = std::map<std::string, std::string, std::less<>>;
using Sections = std::map<std::string, Section, std::less<>>;

constexpr std::size_t kTextCapacity = 1024;  // the caller's GetText buffer
constexpr char kBlanks[] = " \t\r\f\v";

std::string_view Trim(std::string_view s) {
  std::size_t begin = s.find_first_not_of(kBlanks);
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(kBlanks) - begin + 1);
}

// Decimal with an optional sign in the int range, or 0x/0X hexadecimal up to
// 0xFFFFFFFF whose 32 bits are taken as they are.
bool ParseNumber(std::string_view s, int* out) {
  std::uint64_t value = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    for (char c : s.substr(2)) {
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return false;
      }
      value = value * 16 + static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<int>(static_cast<std::uint32_t>(value));
    return true;
  }
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0x80000000u) return false;
  }
  if (!negative && value > 0x7FFFFFFFu) return false;
  std::int64_t magnitude = static_cast<std::int64_t>(value);
  *out = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

// Applies one non-blank, non-comment line. False when it is malformed.
bool ParseLine(std::string_view line, Sections* out, Section** current) {
  if (line.find('\0') != std::string_view::npos) return false;
  if (line.front() == '[') {
    if (line.size() < 2 || line.back() != ']') return false;
    std::string_view name = Trim(line.substr(1, line.size() - 2));
    if (name.empty() || name.find_first_of("[]") != std::string_view::npos) return false;
    *current = &(*out)[std::string(name)];
    return true;
  }
  std::size_t equals = line.find('=');
  if (equals == std::string_view::npos || *current == nullptr) return false;
  std::string_view key = Trim(line.substr(0, equals));
  if (key.empty()) return false;
  (**current)[std::string(key)] = std::string(Trim(line.substr(equals + 1)));
  return true;
}

// Parses text into out; returns the 1-based numbers of the malformed lines.
std::vector<std::size_t> Parse(std::string_view text, Sections* out) {
  std::vector<std::size_t> malformed;
  Section* current = nullptr;
  for (std::size_t number = 1; !text.empty(); ++number) {
    std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (!ParseLine(line, out, &current)) malformed.push_back(number);
  }
  return malformed;
}

bool ReadFile(const char* path, std::string* out) {
  if (path == nullptr) return false;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  char chunk[8192];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) out->append(chunk, n);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

void WriteLine(const std::string& line) {
  ZnWriteStderr(line.data(), line.size());
}

}  // namespace

struct ZnConfig::Impl {
  std::mutex mutex;
  Sections sections;  // guarded by mutex

  // REQUIRES: mutex held. Null when the key or section is absent or unnamed.
  const std::string* Find(const char* key, const ZnConfigSection* section) const {
    if (key == nullptr || section == nullptr || section->name == nullptr) return nullptr;
    auto s = sections.find(section->name);
    if (s == sections.end()) return nullptr;
    auto k = s->second.find(key);
    return k == s->second.end() ? nullptr : &k->second;
  }

  // Replaces the contents with text and reports its malformed lines.
  int Install(std::string_view text, const char* origin) {
    Sections parsed;
    std::vector<std::size_t> malformed = Parse(text, &parsed);
    {
      std::lock_guard<std::mutex> lock(mutex);
      sections.swap(parsed);
    }
    // The old contents (now in parsed) are freed outside the lock.
    std::string report;
    for (std::size_t number : malformed) {
      report += origin;
      report += ':';
      report += std::to_string(number);
      report += ": malformed line skipped\n";
    }
    ZnWriteStderr(report.data(), report.size());
    return static_cast<int>(std::min<std::size_t>(malformed.size(), 0x7FFFFFFF));
  }

  void Clear() {
    Sections old;
    std::lock_guard<std::mutex> lock(mutex);
    sections.swap(old);
  }
};

ZnConfig::ZnConfig() : impl_(new Impl) {}

ZnConfig::~ZnConfig() {
  delete impl_;
}

int ZnConfig::GetText(const char* key, char** value, const ZnConfigSection* section) {
  if (value == nullptr || *value == nullptr) return 1;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const std::string* found = impl_->Find(key, section);
  if (found == nullptr) return 1;
  std::size_t n = std::min(found->size(), kTextCapacity - 1);
  std::memcpy(*value, found->data(), n);
  (*value)[n] = '\0';
  return 0;
}

int ZnConfig::GetShort(const char* key, short* value, const ZnConfigSection* section) {
  int number = 0;
  if (value == nullptr || GetLong(key, &number, section) != 0) return 1;
  *value = static_cast<short>(static_cast<std::uint16_t>(number & 0xFFFF));
  return 0;
}

int ZnConfig::GetLong(const char* key, int* value, const ZnConfigSection* section) {
  if (value == nullptr) return 1;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const std::string* found = impl_->Find(key, section);
  if (found == nullptr) return 1;
  return ParseNumber(*found, value) ? 0 : 2;
}

void ZnConfig::SetValue(const char* section, const char* key, const char* value) {
  if (section == nullptr || key == nullptr) return;
  try {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (value != nullptr) {
      impl_->sections[section][key] = value;
      return;
    }
    auto s = impl_->sections.find(section);
    if (s != impl_->sections.end()) {
      auto k = s->second.find(key);
      if (k != s->second.end()) s->second.erase(k);
    }
  } catch (...) {  // only allocations throw here
    // Out of memory: the change is dropped and the old value stays.
  }
}

void ZnConfig::Clear() {
  impl_->Clear();
}

int ZnConfig::LoadFile(const char* path) {
  try {
    std::string text;
    if (!ReadFile(path, &text)) {
      impl_->Clear();
      return -1;
    }
    return impl_->Install(text, path);
  } catch (...) {  // only allocations throw here
    impl_->Clear();
    return -1;
  }
}

int ZnConfig::LoadText(const char* text, const char* origin) {
  try {
    return impl_->Install(text != nullptr ? text : "", origin != nullptr ? origin : "(text)");
  } catch (...) {  // only allocations throw here
    impl_->Clear();
    return -1;
  }
}

int ZnConfig::Reload() {
  std::string path = "ru5red4.ini";
  bool named = false;
  try {
    const char* env = std::getenv("RU5RED4_CONFIG");
    if (env != nullptr && env[0] != '\0') {
      path = env;
      named = true;
    }
    int result = LoadFile(path.c_str());
    // A missing default file is normal; a file named on purpose is not.
    if (result < 0 && named) WriteLine(path + ": cannot read configuration\n");
    return result;
  } catch (...) {  // only allocations throw here
    impl_->Clear();
    return -1;
  }
}

ZnConfig* DefaultConfig(ZnConfig* which) {
  if (which != reinterpret_cast<ZnConfig*>(~std::uintptr_t{0})) return which;
  // Made once, even under racing first calls, and never destroyed: modules
  // may still look values up while the process exits.
  static ZnConfig* const process = [] {
    ZnConfig* config = new ZnConfig;
    config->Reload();
    return config;
  }();
  return process;
}
