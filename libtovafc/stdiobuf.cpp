#include "stdiobuf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <strings.h>

#include "exception.h"

namespace tovafc {

TovBufferedStdio::TovBufferedStdio(FILE *stream, int size, bool output, const char *envname)
    : stream_(stream), output_(output), envname_(envname ? envname : "") {
  if (size >= 0) set(size);
}

TovBufferedStdio::TovBufferedStdio(const char *path, const char *mode, int size, bool output, const char *envname)
    : stream_(nullptr), output_(output), envname_(envname ? envname : "") {
  ownstream_ = fopen(path, mode);
  if (!ownstream_) throw TovException(2, "Failed to open file=%s for %s (errno=%d)", path, mode, errno);
  stream_ = ownstream_;
  if (size >= 0) set(size);
}

void TovBufferedStdio::set(int size) {
  fflush(stream_);
  if (size == 0) {
    setvbuf(stream_, nullptr, _IONBF, 0);
    free(buffer_);
    buffer_ = nullptr;
    mode_ = _IONBF;
    bufsize_ = 0;
    return;
  }
  int mode = _IOFBF;
  if (!envname_.empty()) {
    const char *v = getenv(envname_.c_str());
    bool line = v && !strcasecmp(v, "y");
    if (!line && output_) {
      struct stat st;
      if (fstat(fileno(stream_), &st) != 0) throw TovException(2, "Failed to stat fd=%d (errno=%d)", fileno(stream_), errno);
      line = !S_ISREG(st.st_mode);
    }
    if (line) {
      mode = _IOLBF;
      if (size > 4096) size = 4096;
    }
  }
  char *nb = (char *)malloc((size_t)size);
  if (!nb) throw TovException(2, "OUT OF MEMORY on %d-byte stdio buffer", size);
  setvbuf(stream_, nb, mode, (size_t)size);
  free(buffer_);
  buffer_ = nb;
  mode_ = mode;
  bufsize_ = size;
}

}  // namespace tovafc
