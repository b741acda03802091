// kavmerge reads inputs that are regular files from their mapping and, on a
// regular-file output, writes without copying; other inputs and outputs go
// through stdio. Both ways give the same bytes, messages and status. An
// input that grows while it is merged is read on; one cut short stops the
// merge with status 1, never a crash or a short output taken for success.
#include <gtest/gtest.h>

#include "outpipe.h"
#include "merge_util.h"

#include <functional>

using namespace logtest;
using mergetest::ses;

namespace {

struct Outcome {
  int status = -1;
  Bytes out;
  std::string err;
};

// Runs kavmerge on the inputs under dir, each a regular file or (fifo) a
// named pipe fed by a process of its own. Its output goes to a file, or
// (pipe_out) into a pipe of one page that is read here; `after_first` runs
// once the first page has arrived, while the merger waits to write more.
Outcome run_merge(const TempDir &td, const std::string &dir, const std::vector<std::pair<std::string, Bytes>> &inputs,
                  bool fifo, bool pipe_out, const std::function<void()> &after_first = {}) {
  Outcome o;
  std::string d = td.file(dir);
  mkdir(d.c_str(), 0700);
  std::vector<std::string> argv = {bin("kavmerge")};
  for (const auto &in : inputs) {
    std::string p = d + "/" + in.first;
    unlink(p.c_str());
    if (fifo)
      mkfifo(p.c_str(), 0600);
    else
      write_file(p, in.second);
    argv.push_back(p);
  }
  std::vector<pid_t> feeders;
  for (size_t i = 0; fifo && i < inputs.size(); i++) {
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGPIPE, SIG_IGN);
      int fd = open(argv[i + 1].c_str(), O_WRONLY);
      const Bytes &b = inputs[i].second;
      for (size_t at = 0; fd >= 0 && at < b.size();) {
        ssize_t w = write(fd, b.data() + at, b.size() - at);
        if (w <= 0) break;
        at += size_t(w);
      }
      _exit(0);
    }
    feeders.push_back(pid);
  }
  int in = open("/dev/null", O_RDONLY);
  int err = outpipe::temp_fd();
  int p[2] = {-1, -1};
  std::string out_path = d + "/merged.out";
  int out = -1;
  if (pipe_out) {
    if (pipe(p) != 0) return o;
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    out = p[1];
  } else {
    out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid = outpipe::spawn(argv, in, out, err);
  close(in);
  close(out);
  if (pipe_out) {
    char buf[4096];
    ssize_t n;
    bool first = true;
    while ((n = read(p[0], buf, sizeof buf)) > 0) {
      o.out.insert(o.out.end(), buf, buf + n);
      if (first && o.out.size() >= 4096 && after_first) {
        after_first();
        first = false;
      }
    }
    close(p[0]);
  }
  o.status = outpipe::wait_for(pid, 60000);
  for (pid_t f : feeders) {
    kill(f, SIGKILL);  // one the merger gave up on may still wait for it
    waitpid(f, nullptr, 0);
  }
  if (!pipe_out) o.out = read_file(out_path);
  o.err = outpipe::slurp_fd(err);
  close(err);
  // The messages name the inputs by their paths: compare them without.
  for (size_t at; (at = o.err.find(d + "/")) != std::string::npos;) o.err.erase(at, d.size() + 1);
  return o;
}

// Three logs with events at the same times, one in the other byte order,
// errors, a long event and sessions closed by their trailers.
std::vector<std::pair<std::string, Bytes>> inputs() {
  Bytes a = log_hdr(2), b = log_hdr(1, true), c = log_hdr(1);
  append(a, ses_hdr(ses("a0", 10, "tcp")));
  append(a, ses_hdr(ses("a1", 11)));
  append(b, ses_hdr(ses("b0", 12, "udp"), true));
  append(c, ses_hdr(ses("c0", 13)));
  for (int i = 0; i < 400; i++) {
    int64_t sec = 100 + i / 3, usec = i % 3 * 1000;
    append(a, evt(i % 2, i % 50 == 7 ? 2 : 1, sec, usec, pattern(60 + (size_t)i * 37 % 1500, (unsigned)i)));
    append(b, evt(0, 1, sec, usec, pattern(64 + (size_t)i % 700, (unsigned)i + 1000), -1, true));
    if (i == 200) append(c, evt(0, 1, sec, usec, pattern(20000, 5)));
    append(c, evt(0, 1, sec, usec + 1, pattern(90, (unsigned)i + 2000)));
  }
  append(a, evt(0, 4, 300, 0, {}));
  append(a, trailer(290, 200, 12345, 0, 0));
  append(a, evt(1, 3, 301, 0, Bytes{'g', 'o', 'n', 'e', 0}));
  append(a, trailer(291, 200, 23456, -1, 0));
  append(b, evt(0, 4, 300, 0, {}, -1, true));
  append(b, trailer(288, 400, 99999, 5, 500, true));
  return {{"a.log", a}, {"b.log", b}, {"c.log", c}};
}

TEST(MergeMapped, MappedAndStreamedInputsGiveTheSameBytes) {
  TempDir td;
  auto in = inputs();
  auto cut = in;
  cut[2].second.resize(cut[2].second.size() - 30);  // the last event's data
  auto hdrcut = in;
  hdrcut[2].second.resize(hdrcut[2].second.size() - 90 - 20);  // in the last header: the end
  int k = 0;
  for (const auto *set : {&in, &cut, &hdrcut}) {
    SCOPED_TRACE(k++);
    Outcome want = run_merge(td, "s", *set, true, true);  // stdio both ways
    Log l = parse_log(want.out);
    ASSERT_TRUE(l.ok || set == &cut) << l.why;
    EXPECT_GT(want.out.size(), 500000u);
    if (set == &cut) {
      EXPECT_EQ(want.status, 1);
      EXPECT_EQ(want.err, "Warning: c.log event #201 truncated by 3000 bytes\nc.log event: 90-byte Read failed - "
                          "errno=0 [UNKNOWN]\n");
    } else {
      EXPECT_EQ(want.status, 0);
      EXPECT_EQ(want.err, "Warning: c.log event #201 truncated by 3000 bytes\n");
      EXPECT_EQ(l.nses, 4);
      EXPECT_EQ(l.events.size(), 1204u - (set == &hdrcut));
    }
    for (int mode = 0; mode < 3; mode++) {
      SCOPED_TRACE(mode);
      // Mapped to a pipe, mapped to a file, streamed to a file.
      Outcome got = run_merge(td, "m" + std::to_string(mode), *set, mode == 2, mode == 0);
      EXPECT_EQ(got.status, want.status);
      EXPECT_EQ(got.err, want.err);
      EXPECT_TRUE(got.out == want.out) << got.out.size() << " vs " << want.out.size();
    }
  }
}

// A log of one session, n frames of 500 bytes.
Bytes big_log(int n) {
  Bytes b = log_hdr(1);
  append(b, ses_hdr(ses("x0", 1)));
  for (int i = 0; i < n; i++) append(b, evt(0, 1, 1000 + i / 1000, i % 1000 * 1000, pattern(500, unsigned(i))));
  return b;
}

TEST(MergeMapped, AnInputThatGrowsIsReadToItsNewEnd) {
  TempDir td;
  Bytes full = big_log(2000);
  Outcome want = run_merge(td, "w", {{"x.log", full}}, false, false);
  ASSERT_EQ(want.status, 0) << want.err;
  size_t head = 600000;
  Outcome got = run_merge(td, "g", {{"x.log", Bytes(full.begin(), full.begin() + (long)head)}}, false, true, [&] {
    FILE *f = fopen(td.file("g/x.log").c_str(), "a");
    fwrite(full.data() + head, 1, full.size() - head, f);
    fclose(f);
  });
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.err, "");
  EXPECT_TRUE(got.out == want.out) << got.out.size() << " vs " << want.out.size();
}

TEST(MergeMapped, AnInputCutShortStopsTheMerge) {
  TempDir td;
  Bytes full = big_log(2000);
  Outcome whole = run_merge(td, "w", {{"x.log", full}, {"y.log", big_log(10)}}, false, false);
  ASSERT_EQ(whole.status, 0) << whole.err;

  // Cut at a page: the pages after it fault.
  Outcome cut = run_merge(td, "c", {{"x.log", full}, {"y.log", big_log(10)}}, false, true,
                          [&] { ASSERT_EQ(truncate(td.file("c/x.log").c_str(), 512 * 1024), 0); });
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.err, "x.log event: Log file cut short or unreadable while being read\n");
  EXPECT_GT(cut.out.size(), 400u * 1024);
  ASSERT_LT(cut.out.size(), 600u * 1024);
  EXPECT_TRUE(std::equal(cut.out.begin(), cut.out.end(), whole.out.begin()));

  // Cut within the last page: what is gone reads as zeros, and the end of
  // the file is found missing when the merge gets there.
  size_t keep = full.size() - 100;
  ASSERT_EQ(keep / 4096, full.size() / 4096);
  Outcome tail = run_merge(td, "t", {{"x.log", full}}, false, true,
                           [&] { ASSERT_EQ(truncate(td.file("t/x.log").c_str(), (off_t)keep), 0); });
  EXPECT_EQ(tail.status, 1);
  std::string shrank =
      "Log file shrank from " + std::to_string(full.size()) + " to " + std::to_string(keep) + " bytes while being read\n";
  EXPECT_EQ(tail.err.rfind("x.log ", 0), 0u) << tail.err;
  EXPECT_NE(tail.err.find(shrank), std::string::npos) << tail.err;
  EXPECT_EQ(outpipe::lines(tail.err), 1u) << tail.err;
}

}  // namespace
