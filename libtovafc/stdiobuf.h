// Large stdio buffers for standard streams, line-buffered on request or
// when output does not go to a regular file.
#ifndef TOVAFC_STDIOBUF_H
#define TOVAFC_STDIOBUF_H

#include <cstdio>
#include <string>

namespace tovafc {

class TovBufferedStdio {
 public:
  TovBufferedStdio(FILE *stream, int size, bool output, const char *envname = nullptr);
  TovBufferedStdio(const char *path, const char *mode, int size, bool output,
                   const char *envname = nullptr);
  TovBufferedStdio(const TovBufferedStdio &) = delete;
  TovBufferedStdio &operator=(const TovBufferedStdio &) = delete;

  void set(int size);
  FILE *stream() const { return stream_; }
  // The buffering mode chosen by the last set(): _IOFBF, _IOLBF or _IONBF, and its size.
  int mode() const { return mode_; }
  int bufsize() const { return bufsize_; }

 private:
  FILE *stream_;
  bool output_;
  std::string envname_;
  char *buffer_ = nullptr;
  FILE *ownstream_ = nullptr;
  int mode_ = -1;
  int bufsize_ = 0;
};

}  // namespace tovafc

#endif
