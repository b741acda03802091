#include "forked.h"
#include "tova.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Seen {
  std::vector<std::string> events;
  char stop_on = 0;
};

int record(_tvl_cmdlin_ctrl *ctrl, int is_switch, int which, const char *text)
{
  auto *seen = static_cast<Seen *>(ctrl->user);
  if (is_switch) {
    seen->events.push_back(std::string("-") + static_cast<char>(which) + "=" + (text ? text : "(null)"));
    if (which == seen->stop_on)
      ctrl->stop = 1;
    if (which == 'x') {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - non-numeric argument", which, text);
      return 1;
    }
  } else {
    seen->events.push_back(std::to_string(which) + ":" + text);
  }
  return 0;
}

// getopt keeps global state, so every parse runs in its own process; the
// child reports the outcome through a file.
struct Outcome {
  int rc = -1;
  std::string msg;
  std::string events;
  std::string prognam;
  int nparams = -1;
};

Outcome parse(std::vector<std::string> args, const char *opts, const char *mandatory, int minp, int maxp,
              char stop_on = 0)
{
  TempDir dir;
  const std::string out = dir.file("out");
  run_forked([&] {
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    Seen seen;
    seen.stop_on = stop_on;
    _tvl_cmdlin_ctrl ctrl{};
    ctrl.opts = opts;
    ctrl.mandatory = mandatory;
    ctrl.callback = record;
    ctrl.user = &seen;
    ctrl.min_params = minp;
    ctrl.max_params = maxp;
    int rc = tvl_cmdlin(static_cast<int>(args.size()), argv.data(), &ctrl);
    FILE *f = fopen(out.c_str(), "w");
    fprintf(f, "%d\n%s\n%s\n%d\n", rc, rc ? tvl_usrmsg : "", tvl_prognam, ctrl.nparams);
    for (auto &e : seen.events)
      fprintf(f, "%s ", e.c_str());
    fclose(f);
    return 0;
  });
  Outcome o;
  std::istringstream in(slurp(out));
  std::string line;
  std::getline(in, line);
  o.rc = std::stoi(line);
  std::getline(in, o.msg);
  std::getline(in, o.prognam);
  std::getline(in, line);
  o.nparams = std::stoi(line);
  std::getline(in, o.events);
  return o;
}

TEST(CmdLine, SwitchesValuesAndParametersInOrder)
{
  Outcome o = parse({"/usr/local/bin/kavtap", "eth0", "-v", "-t5", "-r", "-5", "--", "-p"}, "hvpcRt:r:", "", 0, -1);
  EXPECT_EQ(o.rc, 0) << o.msg;
  EXPECT_EQ(o.prognam, "kavtap");
  EXPECT_EQ(o.events, "-v=(null) -t=5 -r=-5 1:eth0 2:-p ");
  EXPECT_EQ(o.nparams, 2);
}

TEST(CmdLine, ProgramNameWithoutDirectory)
{
  EXPECT_EQ(parse({"kavtap"}, "v", "", 0, 0).prognam, "kavtap");
}

TEST(CmdLine, TheFourMessages)
{
  Outcome o = parse({"p", "-v", "-q"}, "v", "", 0, -1);
  EXPECT_EQ(o.rc, 1);
  EXPECT_EQ(o.msg, "Illegal switch (on or after '-q')");

  o = parse({"p", "-t"}, "t:", "", 0, -1);
  EXPECT_EQ(o.msg, "Illegal switch (on or after '-t')");

  o = parse({"p", "-v", "-v"}, "v", "", 0, -1);
  EXPECT_EQ(o.msg, "Duplicate '-v' switch");
  EXPECT_EQ(o.events, "-v=(null) ") << "the callback saw the first -v";

  o = parse({"p", "-vv"}, "v", "", 0, -1);
  EXPECT_EQ(o.msg, "Duplicate '-v' switch");

  o = parse({"p"}, "a:b:", "ab", 0, -1);
  EXPECT_EQ(o.msg, "Mandatory '-b' switch not supplied");

  o = parse({"p", "-b", "1"}, "a:b:", "ab", 0, -1);
  EXPECT_EQ(o.msg, "Mandatory '-a' switch not supplied");

  o = parse({"p", "x", "y"}, "", "", 0, 1);
  EXPECT_EQ(o.msg, "Illegal number of parameters (2)");

  o = parse({"p"}, "", "", 1, -1);
  EXPECT_EQ(o.msg, "Illegal number of parameters (0)");

  o = parse({"p", "a", "b", "c", "d"}, "", "", 1, -1);
  EXPECT_EQ(o.rc, 0);
}

TEST(CmdLine, CallbackFailureAndStop)
{
  Outcome o = parse({"p", "-x", "abc"}, "x:", "", 0, -1);
  EXPECT_EQ(o.rc, 1);
  EXPECT_EQ(o.msg, "Invalid switch: '-x abc' - non-numeric argument");

  // stop while handling a switch skips the mandatory and count checks
  o = parse({"p", "-h", "extra", "words"}, "hm:", "m", 0, 0, 'h');
  EXPECT_EQ(o.rc, 0) << o.msg;
  EXPECT_EQ(o.events, "-h=(null) ");
}

TEST(CmdLine, MandatoryCheckedAfterAllSwitchesSeen)
{
  Outcome o = parse({"p", "-v", "-c"}, "vcm:", "m", 0, -1);
  EXPECT_EQ(o.msg, "Mandatory '-m' switch not supplied");
  EXPECT_EQ(o.events, "-v=(null) -c=(null) ");
}

}  // namespace
