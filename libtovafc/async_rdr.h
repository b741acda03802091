// Descriptor client that collects requested blocks of input.
#ifndef TOVAFC_ASYNC_RDR_H
#define TOVAFC_ASYNC_RDR_H

#include <memory>

#include "evtmgr.h"

namespace tovafc {

class ImplAsyRdr;

class TovAsyncReader : public TovAIO {
 public:
  explicit TovAsyncReader(const char *tag = nullptr);
  TovAsyncReader(const TovAsyncReader &other);
  TovAsyncReader &operator=(const TovAsyncReader &other);
  ~TovAsyncReader() override;

  void aioReady(TovFile *file) override;
  void aioCancelled(TovFile *file, bool hangup, bool err) override;
  virtual void aioStopped(TovFile *file, bool hangup, bool err) = 0;
  // A requested block is complete (the request stays in place).
  virtual void aioReceived(TovFile *file, int nbytes, char *buf) = 0;
  // Input is waiting on a file that is only listened to.
  virtual void aioReadable(TovFile *file) = 0;

  void aioRequest(TovFile *file, int nbytes, char *buf, bool nolock = false);
  void aioListen(TovFile *file, bool nolock = false);
  bool aioStop(TovFile *file, bool nolock = false);
  int aioTerminate(bool nolock = false);
  bool aioFile(TovFile *file, bool nolock = false) const;
  int aioFiles(bool nolock = false) const;
  int requestedBytes(TovFile *file, bool nolock = false) const;
  int pendingBytes(TovFile *file, bool nolock = false) const;

 private:
  std::unique_ptr<ImplAsyRdr> pimpl;
};

}  // namespace tovafc

#endif
