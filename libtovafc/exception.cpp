#include "exception.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace tovafc {

TovException::TovException(int err, const char *fmt, ...) : std::runtime_error("TovaFC") {
  syserr_ = errno;
  err_ = err;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message_, 1024, fmt ? fmt : "", ap);
  va_end(ap);
  message_[1024] = '\0';
}

TovException::TovException(va_list args, int err, const char *fmt) : std::runtime_error("TovaFC") {
  syserr_ = errno;
  err_ = err;
  vsnprintf(message_, 1024, fmt ? fmt : "", args);
  message_[1024] = '\0';
}

TovException::TovException(const TovException &other)
    : std::runtime_error(other), err_(other.err_), syserr_(other.syserr_) {
  memcpy(message_, other.message_, sizeof message_);
}

TovException &TovException::operator=(const TovException &other) {
  std::runtime_error::operator=(other);
  err_ = other.err_;
  syserr_ = other.syserr_;
  memcpy(message_, other.message_, sizeof message_);
  return *this;
}

TovException::~TovException() = default;

const char *TovException::what() const noexcept { return message_; }
int TovException::err() const { return err_; }
int TovException::syserr() const { return syserr_; }

static std::string describe(const TovException &e) {
  char buf[1200];
  snprintf(buf, sizeof buf, "TovException: Error=%d (errno=%d) - %s", e.err(), e.syserr(), e.what());
  return buf;
}

std::string TovException::handler() {
  // Called outside a handler there is nothing to rethrow.
  if (!std::current_exception()) return "Unidentified exception";
  try {
    throw;
  } catch (const TovException &e) {
    return describe(e);
  } catch (TovException *e) {
    if (!e) return "Unidentified exception";
    std::string s = describe(*e);
    delete e;
    return s;
  } catch (const std::exception &e) {
    const char *n = typeid(e).name();
    if (*n == '*') n++;
    return std::string(n) + "=" + e.what();
  } catch (const std::string &s) {
    return "string=" + s;
  } catch (const char *s) {
    return s ? s : "<NULL>";
  } catch (...) {
    return "Unidentified exception";
  }
}

void TovAssertBasic(bool cond, const char *msg) {
  if (!cond) throw TovException(3, "%s", msg ? msg : "");
}

void TovAssertFull(bool cond, const char *fmt, ...) {
  if (cond) return;
  va_list ap;
  va_start(ap, fmt);
  TovException e(ap, 3, fmt);
  va_end(ap);
  throw e;
}

}  // namespace tovafc
