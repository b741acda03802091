// Descriptor client that only reports input readiness.
#ifndef TOVAFC_ASYNC_RCVR_H
#define TOVAFC_ASYNC_RCVR_H

#include <memory>

#include "evtmgr.h"

namespace tovafc {

class ImplAsyRcv;

class TovAsyncReceiver : public TovAIO {
 public:
  explicit TovAsyncReceiver(const char *tag = nullptr);
  TovAsyncReceiver(const TovAsyncReceiver &other);
  TovAsyncReceiver &operator=(const TovAsyncReceiver &other);
  ~TovAsyncReceiver() override;

  void aioReady(TovFile *file) override = 0;
  void aioCancelled(TovFile *file, bool hangup, bool err) override;
  virtual void aioStopped(TovFile *file, bool hangup, bool err) = 0;

  void aioStart(TovFile *file, bool nolock = false);
  bool aioStop(TovFile *file, bool nolock = false);
  int aioTerminate(bool nolock = false);
  bool aioFile(TovFile *file, bool nolock = false) const;
  int aioFiles(bool nolock = false) const;

 private:
  std::unique_ptr<ImplAsyRcv> pimpl;
};

}  // namespace tovafc

#endif
