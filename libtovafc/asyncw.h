// Descriptor client that queues output the descriptor cannot take at once.
#ifndef TOVAFC_ASYNCW_H
#define TOVAFC_ASYNCW_H

#include <memory>

#include "evtmgr.h"

namespace tovafc {

class ImplAsyW;

class TovAsyncWriter : public TovAIO {
 public:
  TovAsyncWriter(TovFile *file, bool ownfile = false);
  TovAsyncWriter(const TovAsyncWriter &) = delete;
  TovAsyncWriter &operator=(const TovAsyncWriter &) = delete;
  ~TovAsyncWriter() override;

  void aioReady(TovFile *file) override;
  void aioCancelled(TovFile *file, bool hangup, bool err) override;

  // 0, or the stored error (errno value, -1 hang-up, -2 descriptor error).
  int awrite(const void *buf, int len);
  // Delete now, or once the event manager has let go of the writer.
  void destroy();
  TovFile *aioFile() const;
  int queuedBytes(bool nolock = false) const;
  int queuedMsgs(bool nolock = false) const;
  int error(bool nolock = false) const;

 private:
  std::unique_ptr<ImplAsyW> pimpl;
};

}  // namespace tovafc

#endif
