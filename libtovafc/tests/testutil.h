// The framework tests use the shared helpers under their own names, plus the
// small applications built for them.
#ifndef TOVAFC_TESTUTIL_H
#define TOVAFC_TESTUTIL_H

#include <string>

#include "runner.h"

namespace fctest {

using namespace vts;

// Path of one of the framework's test applications for this library build.
std::string appPath(const std::string &base);

}  // namespace fctest

#endif
