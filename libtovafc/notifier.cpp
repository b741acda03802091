#include "notifier.h"

#include <set>

#include "exception.h"
#include "fcsync.h"
#include "log.h"

namespace tovafc {

class ImplNotifier {
 public:
  ImplNotifier(TovNotifier *o, const std::string &n) : owner(o), name(n), mutex(n.c_str(), false) {}
  TovNotifier *owner;
  std::string name;
  std::set<TovObserver *> observers;
  FcLock mutex;

  void detachAll() {
    FcGuard g(mutex);
    for (TovObserver *obs : observers) {
      try {
        obs->observerDetached(owner);
      } catch (...) {
        std::string why = TovException::handler();
        tovlog(1, "TovNotifier: Problem detaching %s [%s]", obs->observerName(), why.c_str());
      }
    }
    observers.clear();
  }
};

TovNotifier::TovNotifier(const char *name) : pimpl(new ImplNotifier(this, name ? name : "")) {}

TovNotifier::TovNotifier(const TovNotifier &other)
    : pimpl(new ImplNotifier(this, other.pimpl->name + "-Copy")) {}

TovNotifier &TovNotifier::operator=(const TovNotifier &other) {
  if (this != &other) pimpl->detachAll();
  return *this;
}

TovNotifier::~TovNotifier() {
  pimpl->detachAll();
  pimpl.reset();
}

void TovNotifier::notifierAttached(TovObserver *) {}
void TovNotifier::notifierDetached(TovObserver *) {}

std::string TovNotifier::notifierName() const { return pimpl->name; }

void TovNotifier::attach(TovObserver *obs) {
  notifierAttached(obs);
  FcGuard g(pimpl->mutex);
  pimpl->observers.insert(obs);
}

void TovNotifier::detach(TovObserver *obs) {
  FcGuard g(pimpl->mutex);
  if (!pimpl->observers.erase(obs)) return;
  try {
    notifierDetached(obs);
  } catch (...) {
    std::string why = TovException::handler();
    tovlog(1, "TovNotifier: Problem handling detach by %s [%s]", obs->observerName(), why.c_str());
  }
}

void TovNotifier::notifyObservers() {
  std::set<TovObserver *> copy;
  {
    FcGuard g(pimpl->mutex);
    copy = pimpl->observers;
  }
  for (TovObserver *obs : copy) {
    try {
      obs->observerNotify(this);
    } catch (...) {
      std::string why = TovException::handler();
      tovlog(1, "TovNotifier: Failed to notify %s [%s]", obs->observerName(), why.c_str());
      FcGuard g(pimpl->mutex);
      pimpl->observers.erase(obs);
    }
  }
}

int TovNotifier::observerCount() const {
  FcGuard g(pimpl->mutex);
  return (int)pimpl->observers.size();
}

}  // namespace tovafc
