#include <gtest/gtest.h>

#include <vector>

#include "exception.h"
#include "notifier.h"

using namespace tovafc;

namespace {
struct Obs : TovObserver {
  std::string name;
  int notified = 0, detached = 0;
  bool throws = false;
  explicit Obs(const char *n, bool t = false) : name(n), throws(t) {}
  void observerNotify(TovNotifier *) override {
    notified++;
    if (throws) throw TovException(5, "observer %s failed", name.c_str());
  }
  void observerDetached(TovNotifier *) override { detached++; }
  const char *observerName() const override { return name.c_str(); }
};

struct Subject : TovNotifier {
  std::vector<std::string> events;
  Subject() : TovNotifier("Config=a.cfg") {}
  void notifierAttached(TovObserver *o) override { events.push_back(std::string("+") + o->observerName()); }
  void notifierDetached(TovObserver *o) override { events.push_back(std::string("-") + o->observerName()); }
};
}  // namespace

TEST(TovNotifierTest, AttachNotifyDetach) {
  Obs a("a"), b("b"), stranger("z");
  Subject s;
  s.attach(&a);
  s.attach(&b);
  s.attach(&a);
  EXPECT_EQ(2, s.observerCount());
  s.notifyObservers();
  EXPECT_EQ(1, a.notified);
  EXPECT_EQ(1, b.notified);
  s.detach(&a);
  s.detach(&stranger);  // not attached: no hook
  s.notifyObservers();
  EXPECT_EQ(1, a.notified);
  EXPECT_EQ(2, b.notified);
  EXPECT_EQ((std::vector<std::string>{"+a", "+b", "+a", "-a"}), s.events);
}

TEST(TovNotifierTest, ThrowingObserverIsDropped) {
  Obs good("good"), bad("bad", true);
  Subject s;
  s.attach(&good);
  s.attach(&bad);
  s.notifyObservers();
  s.notifyObservers();
  EXPECT_EQ(1, bad.notified);
  EXPECT_EQ(2, good.notified);
  EXPECT_EQ(1, s.observerCount());
}

TEST(TovNotifierTest, CopyIsNamedAndEmptyDestructionDetaches) {
  Obs a("a"), b("b");
  {
    Subject s;
    s.attach(&a);
    TovNotifier copy(s);
    EXPECT_EQ("Config=a.cfg-Copy", copy.notifierName());
    EXPECT_EQ(0, copy.observerCount());
    TovNotifier target("t");
    target.attach(&b);
    target = s;
    EXPECT_EQ(0, target.observerCount());
    EXPECT_EQ(1, b.detached);
    EXPECT_EQ("t", target.notifierName());
  }
  EXPECT_EQ(1, a.detached);
}
