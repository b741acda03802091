// Descriptor wrapper with a blocking transfer routine.
#ifndef TOVAFC_FILE_H
#define TOVAFC_FILE_H

#include <string>

namespace tovafc {

class TovFile {
 public:
  TovFile() = default;
  TovFile(int fd, const char *name, bool owner = true) { assign(fd, name, owner); }
  virtual ~TovFile();
  TovFile(const TovFile &) = delete;
  TovFile &operator=(const TovFile &) = delete;

  void assign(int fd, const char *name, bool owner = true);
  int fd() const { return fd_; }
  const char *name() const;
  bool owner() const { return owner_; }
  void setBlockingMode(bool blocking);
  bool blockingMode() const;

  // Move len bytes with read/write. timeout (seconds) > 0 limits the whole
  // transfer, < 0 limits inactivity, 0 means none. Returns the count moved
  // (partial on timeout or with *eof set at end of input) or -1.
  static int bread(int fd, void *buf, int len, bool nowait = false, int timeout = 0,
                   bool *eof = nullptr);
  static int bwrite(int fd, const void *buf, int len, int timeout = 0);

 private:
  int fd_ = -1;
  bool assigned_ = false;
  std::string name_;
  bool owner_ = false;
  mutable int flags_ = -1;
};

}  // namespace tovafc

#endif
