// Subject/observer pair whose notifications survive misbehaving observers.
#ifndef TOVAFC_NOTIFIER_H
#define TOVAFC_NOTIFIER_H

#include <memory>
#include <string>

namespace tovafc {

class TovNotifier;
class ImplNotifier;

class TovObserver {
 public:
  virtual ~TovObserver() = default;
  virtual void observerNotify(TovNotifier *subject) = 0;
  virtual void observerDetached(TovNotifier *subject) = 0;
  virtual const char *observerName() const = 0;
};

class TovNotifier {
 public:
  explicit TovNotifier(const char *name);
  TovNotifier(const TovNotifier &other);
  TovNotifier &operator=(const TovNotifier &other);
  virtual ~TovNotifier();
  virtual void notifierAttached(TovObserver *obs);
  virtual void notifierDetached(TovObserver *obs);

  std::string notifierName() const;
  void attach(TovObserver *obs);
  void detach(TovObserver *obs);
  void notifyObservers();
  int observerCount() const;

 private:
  std::unique_ptr<ImplNotifier> pimpl;
};

}  // namespace tovafc

#endif
