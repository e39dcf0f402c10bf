// The text of a number as the diagnostic stream and the event log write it.
// Both write numbers with the same formats; formatting them in one place keeps
// the two byte for byte alike. Module-internal.
#ifndef RE5ZOR4_SRC_CORE_NUMBER_TEXT_H_
#define RE5ZOR4_SRC_CORE_NUMBER_TEXT_H_

#include <cstdint>
#include <cstdio>

namespace re5zor4 {

// One number formatted as by sprintf with the format its type gives:
//
//   int, short (sign-extended)  "%d"      long           "%ld"
//   unsigned int, short         "%u"      unsigned long  "%lu"
//   float (widened to double)   "%f"      double         "%lf"
//   void*                       "0x%lx"
//
// The text is never cut: the longest one, "%f" of -DBL_MAX, has a sign, 309
// integral digits, a point and six decimals (317 characters), well inside
// the fixed area, so no number needs an allocation.
class NumberText {
 public:
  explicit NumberText(int value) { Format("%d", value); }
  explicit NumberText(unsigned int value) { Format("%u", value); }
  explicit NumberText(short value) { Format("%d", static_cast<int>(value)); }
  explicit NumberText(unsigned short value) { Format("%u", static_cast<unsigned int>(value)); }
  explicit NumberText(long value) { Format("%ld", value); }
  explicit NumberText(unsigned long value) { Format("%lu", value); }
  explicit NumberText(float value) { Format("%f", static_cast<double>(value)); }
  explicit NumberText(double value) { Format("%lf", value); }
  explicit NumberText(void* value) {
    Format("0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(value)));
  }

  // The text, NUL-terminated, and its length (0 when formatting failed).
  const char* data() const { return text_; }
  int size() const { return size_; }

  NumberText(const NumberText&) = delete;
  NumberText& operator=(const NumberText&) = delete;

 private:
  template <typename T>
  void Format(const char* format, T value) {
    size_ = std::snprintf(text_, sizeof text_, format, value);
    if (size_ < 0 || size_ >= static_cast<int>(sizeof text_)) {
      size_ = 0;
      text_[0] = '\0';
    }
  }

  char text_[400];
  int size_;
};

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_NUMBER_TEXT_H_
