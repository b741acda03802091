// The framework's one exception type and its assertion helpers.
#ifndef TOVAFC_EXCEPTION_H
#define TOVAFC_EXCEPTION_H

#include <cstdarg>
#include <stdexcept>
#include <string>

namespace tovafc {

class TovException : public std::runtime_error {
 public:
  TovException(int err, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  TovException(va_list args, int err, const char *fmt);
  TovException(const TovException &other);
  TovException &operator=(const TovException &other);
  ~TovException() override;

  const char *what() const noexcept override;
  virtual int err() const;
  virtual int syserr() const;

  // Describes the exception being handled; call only inside a catch block.
  static std::string handler();

 private:
  char message_[1025];
  int err_;
  int syserr_;
};

// Throw TovException code 3 when cond is false.
void TovAssertBasic(bool cond, const char *msg);
void TovAssertFull(bool cond, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tovafc

#endif
