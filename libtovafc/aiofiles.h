// The set of files a descriptor client watches, kept by the asynchronous
// receiver (a set) and reader (a map with per-file requests) alike.
#ifndef TOVAFC_AIOFILES_H
#define TOVAFC_AIOFILES_H

#include <utility>
#include <vector>

#include "evtmgr.h"

namespace tovafc {

inline TovFile *aio_file_of(TovFile *f) { return f; }
template <class V>
TovFile *aio_file_of(const std::pair<TovFile *const, V> &e) {
  return e.first;
}

// Stops watching one file; false when the event manager could not stop it
// now (it will report the cancellation later).
template <class Files>
bool aio_unwatch(TovAIO *aio, Files &files, TovFile *file) {
  if (!files.count(file)) return true;
  TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
  if (!em || em->stopAIO(file, aio)) {
    files.erase(file);
    return true;
  }
  return false;
}

// Stops watching every file; returns how many could not be stopped yet.
template <class Files>
int aio_unwatch_all(TovAIO *aio, Files &files) {
  std::vector<TovFile *> all;
  for (const auto &e : files) all.push_back(aio_file_of(e));
  for (TovFile *f : all) aio_unwatch(aio, files, f);
  return (int)files.size();
}

}  // namespace tovafc

#endif
