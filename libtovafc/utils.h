// Small helpers shared by the framework: number formatting, object labels,
// trimming and the orderings used by its containers.
#ifndef TOVAFC_UTILS_H
#define TOVAFC_UTILS_H

#include <string>
#include <strings.h>

namespace tovafc {

// Format one number into buf, or into a shared 31-byte static buffer when buf is null.
char *num2buf(const char *fmt, long value, char *buf = nullptr);
char *num2buf(long value, char *buf = nullptr);

// name when non-empty, else "0x" and the low 32 bits of the address.
const char *objtag(const char *name, const void *obj, char *buf = nullptr);
const char *objtag(const std::string &name, const void *obj, char *buf = nullptr);

// Trim white space. With shift false the result points into s; with shift true
// the trimmed text is moved to the start of s.
char *strip(char *s, bool shift = false);
const char *strip(std::string &s);

struct TovNocaseStringLess {
  bool operator()(const std::string &a, const std::string &b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

// Orders pointers by the pointees' compare(); negative means earlier.
template <class T>
struct TovPtrLess {
  bool operator()(const T *a, const T *b) const { return a->compare(*b) < 0; }
};

}  // namespace tovafc

#endif
