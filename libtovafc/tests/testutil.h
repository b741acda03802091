// The framework tests use the shared helpers under their own names, plus the
// small applications built for them.
#ifndef TOVAFC_TESTUTIL_H
#define TOVAFC_TESTUTIL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "evtmgr.h"
#include "runner.h"

namespace fctest {

using namespace vts;

// Path of one of the framework's test applications for this library build.
std::string appPath(const std::string &base);

// Each case starts and ends without an event manager, and with none of the
// settings that change how the next one behaves.
class FreshEvtMgr : public ::testing::Test {
 protected:
  void SetUp() override {
    tovafc::TovEvtMgr::destroy();
    unsetenv("TOVA_EM_ARMODE");
    unsetenv("TOVA_EM_THROWTASKS");
    unsetenv("TOVA_EM_TIMERPREC");
  }
  void TearDown() override { tovafc::TovEvtMgr::destroy(); }
};

}  // namespace fctest

#endif
