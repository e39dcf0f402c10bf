// Process configuration of the ru5red4 base library.
//
// A configuration is a set of sections, each a set of key=value pairs, read
// from an INI-style text file:
//
//   # comment               (also "; comment")
//   [debug]
//   mode=0x100              numbers are decimal (optionally signed) or 0x hex
//   logFile=events.log      text values run to the end of the line, trimmed
//
// Syntax: blank lines and lines whose first non-blank character is '#' or ';'
// are ignored (there are no comments after a value). Every key=value line
// belongs to the latest [section] header; the key is the trimmed text before
// the first '=', the value the trimmed rest (possibly empty). A repeated key
// keeps its last value; a repeated section header continues that section.
// Section names and keys match case-sensitively. Line ends may be LF or CRLF.
//
// Numeric lookups accept decimal in the int range with an optional sign, or
// 0x/0X hexadecimal up to 0xFFFFFFFF, whose 32 bits are stored as they are.
//
// A malformed line (no '=', an empty key, a key=value line before the first
// section header, a header without ']' or with an empty name, a NUL byte) is
// skipped and reported once per load as one line on standard error:
//
//   <file>:<line>: malformed line skipped
//
// The process configuration comes from the file named by the environment
// variable RU5RED4_CONFIG when that is set and non-empty, else from
// "ru5red4.ini" in the current directory. With neither it is empty, never
// null. A file named by RU5RED4_CONFIG that can't be read is reported as
// "<file>: cannot read configuration".
//
// Ownership: DefaultConfig returns a process-wide object; callers never delete
// it. Thread safety: every member may be called from any thread at any time;
// lookups and changes are serialised inside the object.
#ifndef RU5RED4_ZNCONFIG_H_
#define RU5RED4_ZNCONFIG_H_

#include "ru5red4/export.h"

// The section argument of every lookup: the address of a two-word record
// {section name, 0}.
struct ZnConfigSection {
  const char* name;
  const void* reserved;
};

class RU5RED4_API ZnConfig {
 public:
  ZnConfig();

  // The three lookups, in this slot order (callers rely on it).
  //
  // Text lookup. REQUIRES: *value points at a caller buffer of 1024 bytes that
  // holds the default. When the key is found, the text (cut to 1023 bytes) is
  // copied into that buffer. Returns 0 when found, non-zero otherwise.
  virtual int GetText(const char* key, char** value, const ZnConfigSection* section);
  // 16-bit lookup: *value is preset to the default and replaced (truncated to
  // 16 bits) when the key is found with a numeric value. 0 when found;
  // non-zero otherwise, leaving *value untouched.
  virtual int GetShort(const char* key, short* value, const ZnConfigSection* section);
  // 32-bit lookup: returns 0 when the key was found with a numeric value and
  // the value stored; non-zero otherwise, leaving *value untouched. Hex values
  // up to 0xFFFFFFFF are stored bit for bit.
  virtual int GetLong(const char* key, int* value, const ZnConfigSection* section);

  virtual ~ZnConfig();

  // Programmatic changes (host and tests). A null value removes the key.
  void SetValue(const char* section, const char* key, const char* value);
  // Forgets every value, programmatic ones included.
  void Clear();
  // Replaces the contents with those of the file at path. Returns the number
  // of malformed lines, or -1 when the file can't be read (contents emptied).
  int LoadFile(const char* path);
  // Replaces the contents with the parsed text; origin names it in reports
  // ("(text)" when null). Returns the number of malformed lines.
  int LoadText(const char* text, const char* origin);
  // Reloads from the process source (RU5RED4_CONFIG, else "ru5red4.ini"),
  // dropping programmatic values. Missing file: empty configuration.
  int Reload();

  ZnConfig(const ZnConfig&) = delete;
  ZnConfig& operator=(const ZnConfig&) = delete;

 private:
  struct Impl;
  Impl* impl_;
};

// Every caller passes the all-ones pointer value, (ZnConfig*)-1, and receives
// the process configuration, loaded on first use. Any other argument is
// returned unchanged.
RU5RED4_API ZnConfig* DefaultConfig(ZnConfig* which);

#endif  // RU5RED4_ZNCONFIG_H_
