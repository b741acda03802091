// Log format: byte images, round trips, buffering, version checks and the
// reader's handling of short, truncated and corrupt logs.
#include "kav.h"
#include "testutil.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>

namespace {

uint64_t le64(const std::vector<uint8_t> &b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | b.at(at + i);
  return v;
}

void put_le64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; i++) b.at(at + i) = (uint8_t)(v >> (8 * i));
}

// Value in the older big-endian layout: first four bytes of the field.
void put_be32_field(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 8; i++) b.at(at + i) = 0;
  b.at(at) = (uint8_t)(v >> 24);
  b.at(at + 1) = (uint8_t)(v >> 16);
  b.at(at + 2) = (uint8_t)(v >> 8);
  b.at(at + 3) = (uint8_t)v;
}

const char kMsgSentinel[] = "untouched";

void fill_session(kav_session *s, const char *filter) {
  strcpy(s->hdr.hostname, "probe1");
  s->hdr.start = 1700000000;
  strcpy(s->hdr.ifname, "eth0");
  s->hdr.ipaddr[0] = 10, s->hdr.ipaddr[1] = 1, s->hdr.ipaddr[2] = 2, s->hdr.ipaddr[3] = 3;
  s->hdr.netmask = (int64_t)(int32_t)0xFFFF0000u;
  s->hdr.mtu = 1500;
  s->hdr.snaplen = -1;
  s->hdr.capflags = KAV_CAP_RAW | KAV_CAP_PROMISC | KAV_CAPMECH_SOCK << KAV_CAP_MECH_SHIFT;
  s->hdr.linktype = KAV_DL_ETHER;
  s->hdr.hwaddrlen = 6;
  memcpy(s->hdr.hwaddr, "\x02\x11\x22\x33\x44\x55", 6);
  if (filter) {
    s->filter = const_cast<char *>(filter);
    s->hdr.filtlen = (int64_t)strlen(filter) + 1;
  }
}

int write_event(kav_logfile *log, int ses, int type, int64_t sec, int64_t usec, const std::vector<uint8_t> &data,
                int64_t wirelen, int count_only = 0) {
  kav_evthdr *h = &log->sessions[ses].evthdr;
  memset(h, 0, sizeof *h);
  h->ses = (unsigned char)ses;
  h->type = (unsigned char)type;
  h->sec = sec;
  h->usec = usec;
  h->caplen = (int64_t)data.size();
  h->wirelen = wirelen;
  return kav_write_evt(log, ses, data.data(), count_only);
}

std::vector<uint8_t> pattern(size_t n, int seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(i * 7 + seed);
  return v;
}

// One-session log: a 4-byte frame, then the end of the session.
void write_small_log(const std::string &path) {
  kav_logfile log{};
  log.path = path.c_str();
  log.hdr.nsessions = 1;
  ASSERT_EQ(kav_write_loghdr(&log, nullptr, 65536), 0) << tvl_usrmsg;
  fill_session(&log.sessions[0], "tcp");
  ASSERT_EQ(kav_write_seshdr(&log, 0), 0) << tvl_usrmsg;
  ASSERT_EQ(write_event(&log, 0, KAV_EVT_FRAME, 1700000001, 250000, {0xde, 0xad, 0xbe, 0xef}, 60), 0);
  kav_session *s = &log.sessions[0];
  s->trl.duration = 5;
  s->trl.rejected = 2;
  s->trl.rej_octets = 120;
  ASSERT_EQ(write_event(&log, 0, KAV_EVT_END, 1700000005, 0, {}, 0), 0);
  kav_close_logfile(&log);
}

TEST(KavLogWrite, FileImagesAreByteExact) {
  TempPath tmp;
  write_small_log(tmp.path);
  std::vector<uint8_t> b = tmp.bytes();
  ASSERT_EQ(b.size(), 15u + 216 + 4 + 40 + 4 + 40 + 40);

  const uint8_t hdr[15] = {'k', 'a', 'v', 't', 'a', 'p', 0, 0, 0, 0, 3, 1, 0x34, 0x12, 1};
  EXPECT_EQ(0, memcmp(b.data(), hdr, 15));

  size_t s = 15;
  EXPECT_STREQ((const char *)&b[s], "probe1");
  EXPECT_EQ(le64(b, s + 72), 1700000000u);
  EXPECT_STREQ((const char *)&b[s + 80], "eth0");
  EXPECT_EQ(b[s + 116], 10);
  EXPECT_EQ(b[s + 119], 3);
  EXPECT_EQ(le64(b, s + 120), 0xFFFFFFFFFFFF0000ull);
  EXPECT_EQ(le64(b, s + 128), 1500u);
  EXPECT_EQ(le64(b, s + 136), ~0ull);
  EXPECT_EQ(le64(b, s + 144), 4u);  // "tcp" and its NUL
  EXPECT_EQ(le64(b, s + 152), 0x13u);
  EXPECT_EQ(le64(b, s + 160), 4u);
  EXPECT_EQ(le64(b, s + 168), 0u);
  EXPECT_EQ(le64(b, s + 176), 0u);
  EXPECT_EQ(le64(b, s + 184), 6u);
  EXPECT_EQ(b[s + 192], 0x02);
  EXPECT_EQ(b[s + 197], 0x55);
  EXPECT_EQ(0, memcmp(&b[s + 216], "tcp", 4));

  size_t e = s + 220;
  EXPECT_EQ(b[e], 0);
  EXPECT_EQ(b[e + 1], 1);
  for (int i = 2; i < 8; i++) EXPECT_EQ(b[e + i], 0);
  EXPECT_EQ(le64(b, e + 8), 1700000001u);
  EXPECT_EQ(le64(b, e + 16), 250000u);
  EXPECT_EQ(le64(b, e + 24), 4u);
  EXPECT_EQ(le64(b, e + 32), 60u);
  EXPECT_EQ(b[e + 40], 0xde);
  EXPECT_EQ(b[e + 43], 0xef);

  size_t e2 = e + 44;
  EXPECT_EQ(b[e2 + 1], 4);
  EXPECT_EQ(le64(b, e2 + 24), 0u);
  size_t t = e2 + 40;
  EXPECT_EQ(le64(b, t), 5u);        // duration
  EXPECT_EQ(le64(b, t + 8), 1u);    // frames
  EXPECT_EQ(le64(b, t + 16), 60u);  // wire bytes
  EXPECT_EQ(le64(b, t + 24), 2u);
  EXPECT_EQ(le64(b, t + 32), 120u);
}

TEST(KavLogWrite, CountOnlyCountsAndStillWritesTrailer) {
  TempPath tmp;
  kav_logfile log{};
  log.path = tmp.path.c_str();
  log.hdr.nsessions = 1;
  ASSERT_EQ(kav_write_loghdr(&log, nullptr, 4096), 0);
  fill_session(&log.sessions[0], nullptr);
  ASSERT_EQ(kav_write_seshdr(&log, 0), 0);
  ASSERT_EQ(write_event(&log, 0, KAV_EVT_FRAME, 1, 0, pattern(100, 1), 100, 1), 0);
  ASSERT_EQ(write_event(&log, 0, KAV_EVT_END, 2, 0, {}, 0, 1), 0);
  EXPECT_EQ(log.events, 2u);
  EXPECT_EQ(log.packets, 1u);
  EXPECT_EQ(log.octets, 100u);
  EXPECT_EQ(log.sessions[0].events, 2u);
  EXPECT_TRUE(log.sessions[0].closed);
  kav_close_logfile(&log);
  std::vector<uint8_t> b = tmp.bytes();
  ASSERT_EQ(b.size(), 15u + 216 + 40);  // no event, just the trailer
  EXPECT_EQ(le64(b, 15 + 216 + 8), 1u);
  EXPECT_EQ(le64(b, 15 + 216 + 16), 100u);
}

TEST(KavLogWrite, OpenFailureNamesPathAndError) {
  kav_logfile log{};
  log.path = "/nonexistent-dir/x.kav";
  log.hdr.nsessions = 1;
  EXPECT_EQ(kav_write_loghdr(&log, nullptr, 4096), 1);
  EXPECT_STREQ(tvl_usrmsg, "Open failed on logfile=/nonexistent-dir/x.kav, errno=2 [No such file or directory]");
  kav_close_logfile(&log);
}

TEST(KavLogWrite, NoSessionsMeansNoArrayAndNegativeCountFails) {
  TempPath tmp;
  kav_logfile log{};
  log.path = tmp.path.c_str();
  ASSERT_EQ(kav_write_loghdr(&log, nullptr, 4096), 0);
  EXPECT_EQ(log.sessions, nullptr);
  kav_close_logfile(&log);

  kav_logfile bad{};
  bad.path = tmp.path.c_str();
  bad.hdr.nsessions = (signed char)128;
  EXPECT_EQ(kav_write_loghdr(&bad, nullptr, 4096), 1);
  EXPECT_EQ(std::string(tvl_usrmsg).rfind("OUT OF MEMORY on ", 0), 0u) << tvl_usrmsg;
  EXPECT_NE(std::string(tvl_usrmsg).find("-byte sessions array"), std::string::npos);
  kav_close_logfile(&bad);
}

TEST(KavLogRead, FileRoundTrip) {
  TempPath tmp;
  {
    kav_logfile log{};
    log.path = tmp.path.c_str();
    log.hdr.nsessions = 2;
    ASSERT_EQ(kav_write_loghdr(&log, nullptr, 65536), 0);
    fill_session(&log.sessions[0], "(TCP) | (UDP)");
    fill_session(&log.sessions[1], nullptr);
    strcpy(log.sessions[1].hdr.ifname, "");
    ASSERT_EQ(kav_write_seshdr(&log, 0), 0);
    ASSERT_EQ(kav_write_seshdr(&log, 1), 0);
    ASSERT_EQ(write_event(&log, 0, KAV_EVT_FRAME, 10, 1, pattern(60, 1), 60), 0);
    ASSERT_EQ(write_event(&log, 1, KAV_EVT_FRAME, 10, 2, pattern(1514, 2), 1514), 0);
    const char msg[] = "recvfrom failed";
    ASSERT_EQ(write_event(&log, 1, KAV_EVT_ERROR, 10, 3, std::vector<uint8_t>(msg, msg + sizeof msg), sizeof msg), 0);
    ASSERT_EQ(write_event(&log, 0, KAV_EVT_FRAME, 11, 4, pattern(96, 3), 1500), 0);
    log.sessions[0].trl.duration = 7;
    ASSERT_EQ(write_event(&log, 0, KAV_EVT_END, 17, 0, {}, 0), 0);
    ASSERT_EQ(write_event(&log, 1, KAV_EVT_FATAL, 18, 0, std::vector<uint8_t>(msg, msg + sizeof msg), sizeof msg), 0);
    kav_close_logfile(&log);
  }
  kav_logfile log{};
  log.path = tmp.path.c_str();
  ASSERT_EQ(kav_read_loghdr(&log, nullptr, 131072), 0) << tvl_usrmsg;
  EXPECT_EQ(log.hdr.nsessions, 2);
  EXPECT_FALSE(log.swap);
  ASSERT_NE(log.sessions, nullptr);
  ASSERT_EQ(kav_read_seshdr(&log, 0), 0);
  ASSERT_EQ(kav_read_seshdr(&log, 1), 0);
  EXPECT_STREQ(log.sessions[0].filter, "(TCP) | (UDP)");
  EXPECT_EQ(log.sessions[0].hdr.filtlen, 14);
  EXPECT_EQ(log.sessions[1].filter, nullptr);
  EXPECT_STREQ(log.sessions[0].hdr.hostname, "probe1");
  EXPECT_EQ(log.sessions[0].hdr.netmask, (int64_t)0xFFFFFFFFFFFF0000ll);
  EXPECT_EQ(log.sessions[0].hdr.snaplen, -1);
  EXPECT_EQ(log.bytes_read, 15u + 216 * 2 + 14);

  std::vector<uint8_t> buf(65536);
  int trunc = -1;
  struct Want {
    int ses, type;
    int64_t usec;
    std::vector<uint8_t> data;
  };
  const char msg[] = "recvfrom failed";
  std::vector<Want> want = {{0, 1, 1, pattern(60, 1)},
                            {1, 1, 2, pattern(1514, 2)},
                            {1, 2, 3, std::vector<uint8_t>(msg, msg + sizeof msg)},
                            {0, 1, 4, pattern(96, 3)},
                            {0, 4, 0, {}},
                            {1, 3, 0, std::vector<uint8_t>(msg, msg + sizeof msg)}};
  for (const Want &w : want) {
    ASSERT_EQ(kav_read_evt(&log, -1, buf.data(), (int)buf.size(), 0, &trunc), 0) << tvl_usrmsg;
    EXPECT_EQ(trunc, 0);
    EXPECT_EQ(log.evthdr.ses, w.ses);
    EXPECT_EQ(log.evthdr.type, w.type);
    EXPECT_EQ(log.evthdr.usec, w.usec);
    ASSERT_EQ(log.evthdr.caplen, (int64_t)w.data.size());
    if (!w.data.empty()) {
      EXPECT_EQ(0, memcmp(buf.data(), w.data.data(), w.data.size()));
    }
  }
  EXPECT_EQ(log.events, 6u);
  EXPECT_EQ(log.packets, 3u);
  EXPECT_EQ(log.octets, 60u + 1514 + 1500);
  // The trailers replace the reader's running counts with the writer's.
  EXPECT_TRUE(log.sessions[0].closed);
  EXPECT_EQ(log.sessions[0].trl.duration, 7);
  EXPECT_EQ(log.sessions[0].trl.frames, 2);
  EXPECT_EQ(log.sessions[0].trl.octets, 1560);
  EXPECT_EQ(log.sessions[1].trl.frames, 1);
  EXPECT_EQ(log.sessions[1].events, 3u);

  strcpy(tvl_usrmsg, kMsgSentinel);
  EXPECT_EQ(kav_read_evt(&log, -1, buf.data(), (int)buf.size(), 0, &trunc), 1);
  EXPECT_EQ(log.eof, 1);
  EXPECT_STREQ(tvl_usrmsg, kMsgSentinel);
  EXPECT_EQ(log.bytes_read, (uint64_t)tmp.bytes().size());
  kav_close_logfile(&log);
  EXPECT_EQ(log.sessions, nullptr);
}

TEST(KavLogRead, HeaderOnlyThenDataIntoSession) {
  TempPath tmp;
  write_small_log(tmp.path);
  kav_logfile log{};
  log.path = tmp.path.c_str();
  ASSERT_EQ(kav_read_loghdr(&log, nullptr, 0), 0);
  ASSERT_EQ(kav_read_seshdr(&log, 0), 0);
  unsigned char buf[16];
  int trunc = -1;
  ASSERT_EQ(kav_read_evt(&log, 0, buf, sizeof buf, KAV_RD_HDR, &trunc), 0);
  EXPECT_EQ(log.sessions[0].evthdr.caplen, 4);
  EXPECT_EQ(log.events, 0u);
  ASSERT_EQ(kav_read_evt(&log, 0, buf, sizeof buf, KAV_RD_DATA, &trunc), 0);
  EXPECT_EQ(0, memcmp(buf, "\xde\xad\xbe\xef", 4));
  EXPECT_EQ(log.events, 1u);
  ASSERT_EQ(kav_read_evt(&log, 0, buf, sizeof buf, 0, &trunc), 0);
  EXPECT_EQ(log.sessions[0].evthdr.type, KAV_EVT_END);
  EXPECT_EQ(log.sessions[0].trl.rejected, 2);
  kav_close_logfile(&log);
}

TEST(KavLogRead, MinorVersionWarnsMajorVersionFails) {
  TempPath tmp;
  write_small_log(tmp.path);
  std::vector<uint8_t> b = tmp.bytes();
  b[11] = 2;
  tmp.write(b);
  kav_logfile log{};
  log.path = tmp.path.c_str();
  EXPECT_EQ(kav_read_loghdr(&log, nullptr, 4096), 0);
  EXPECT_STREQ(tvl_usrmsg, "WARNING: Different logfile minor version (1 vs file=2) ... will try to continue");
  EXPECT_EQ(kav_read_seshdr(&log, 0), 0);
  kav_close_logfile(&log);

  b[10] = 2;
  tmp.write(b);
  kav_logfile log2{};
  log2.path = tmp.path.c_str();
  EXPECT_EQ(kav_read_loghdr(&log2, nullptr, 4096), 1);
  EXPECT_STREQ(tvl_usrmsg, "Different logfile major version (3.1 vs file=2.2) - can't continue");
  kav_close_logfile(&log2);
}

TEST(KavLogRead, ShortLogHeaderFails) {
  TempPath tmp;
  tmp.write({'k', 'a', 'v', 't', 'a', 'p', 0, 0});
  kav_logfile log{};
  log.path = tmp.path.c_str();
  EXPECT_EQ(kav_read_loghdr(&log, nullptr, 4096), 1);
  EXPECT_STREQ(tvl_usrmsg, "15-byte Read failed - errno=0 [UNKNOWN]");
  kav_close_logfile(&log);
}

// Opens the small log cut to the given size and reads up to the first event.
struct CutLog {
  TempPath tmp;
  kav_logfile log{};
  CutLog(size_t cut) {
    write_small_log(tmp.path);
    std::vector<uint8_t> b = tmp.bytes();
    b.resize(cut);
    tmp.write(b);
    log.path = tmp.path.c_str();
    EXPECT_EQ(kav_read_loghdr(&log, nullptr, 4096), 0);
    EXPECT_EQ(kav_read_seshdr(&log, 0), 0);
  }
  ~CutLog() { kav_close_logfile(&log); }
};

TEST(KavLogRead, EndOfFileAtAndInsideEvents) {
  unsigned char buf[64];
  int trunc;
  {
    CutLog c(15 + 220);  // right after the session header
    strcpy(tvl_usrmsg, kMsgSentinel);
    EXPECT_EQ(kav_read_evt(&c.log, -1, buf, sizeof buf, 0, &trunc), 1);
    EXPECT_EQ(c.log.eof, 1);
    EXPECT_STREQ(tvl_usrmsg, kMsgSentinel);
  }
  {
    CutLog c(15 + 220 + 17);  // inside the event header
    strcpy(tvl_usrmsg, kMsgSentinel);
    EXPECT_EQ(kav_read_evt(&c.log, -1, buf, sizeof buf, 0, &trunc), 1);
    EXPECT_EQ(c.log.eof, 1);
    EXPECT_STREQ(tvl_usrmsg, kMsgSentinel);
  }
  {
    CutLog c(15 + 220 + 40 + 2);  // inside the event data
    EXPECT_EQ(kav_read_evt(&c.log, -1, buf, sizeof buf, 0, &trunc), 1);
    EXPECT_EQ(c.log.eof, 0);
    EXPECT_STREQ(tvl_usrmsg, "4-byte Read failed - errno=0 [UNKNOWN]");
  }
  {
    CutLog c(15 + 220 + 44 + 40 + 10);  // inside the trailer
    EXPECT_EQ(kav_read_evt(&c.log, -1, buf, sizeof buf, 0, &trunc), 0);
    EXPECT_EQ(kav_read_evt(&c.log, -1, buf, sizeof buf, 0, &trunc), 1);
    EXPECT_STREQ(tvl_usrmsg, "40-byte Read failed - errno=0 [UNKNOWN]");
  }
}

TEST(KavLogRead, CorruptSessionIndexAndEventAfterTrailer) {
  TempPath tmp;
  write_small_log(tmp.path);
  std::vector<uint8_t> b = tmp.bytes();
  std::vector<uint8_t> bad = b;
  bad[15 + 220] = 1;  // session 1 in a one-session log
  tmp.write(bad);
  unsigned char buf[64];
  int trunc;
  {
    kav_logfile log{};
    log.path = tmp.path.c_str();
    ASSERT_EQ(kav_read_loghdr(&log, nullptr, 4096), 0);
    ASSERT_EQ(kav_read_seshdr(&log, 0), 0);
    EXPECT_EQ(kav_read_evt(&log, -1, buf, sizeof buf, 0, &trunc), 1);
    EXPECT_STREQ(tvl_usrmsg, "Log file is corrupt, got ses_id=1 on evt 0");
    EXPECT_EQ(log.eof, 0);
    kav_close_logfile(&log);
  }
  // Append a copy of the frame event after the session's end.
  std::vector<uint8_t> after = b;
  after.insert(after.end(), b.begin() + 15 + 220, b.begin() + 15 + 220 + 44);
  tmp.write(after);
  kav_logfile log{};
  log.path = tmp.path.c_str();
  ASSERT_EQ(kav_read_loghdr(&log, nullptr, 4096), 0);
  ASSERT_EQ(kav_read_seshdr(&log, 0), 0);
  EXPECT_EQ(kav_read_evt(&log, -1, buf, sizeof buf, 0, &trunc), 0);
  EXPECT_EQ(kav_read_evt(&log, -1, buf, sizeof buf, 0, &trunc), 0);
  EXPECT_EQ(kav_read_evt(&log, -1, buf, sizeof buf, 0, &trunc), 1);
  EXPECT_STREQ(tvl_usrmsg, "Log file is corrupt, got event-type 1 after Session-1 trailer");
  kav_close_logfile(&log);
}

TEST(KavLogRead, HostileLengthsAreRejected) {
  TempPath tmp;
  write_small_log(tmp.path);
  std::vector<uint8_t> b = tmp.bytes();
  unsigned char buf[64];
  int trunc;
  {
    std::vector<uint8_t> bad = b;
    put_le64(bad, 15 + 144, 1ull << 40);  // filter length
    tmp.write(bad);
    kav_logfile log{};
    log.path = tmp.path.c_str();
    ASSERT_EQ(kav_read_loghdr(&log, nullptr, 4096), 0);
    EXPECT_EQ(kav_read_seshdr(&log, 0), 1);
    EXPECT_STREQ(tvl_usrmsg, "Log file is corrupt, got 1099511627776-byte filter in Session-1");
    kav_close_logfile(&log);
  }
  {
    std::vector<uint8_t> bad = b;
    put_le64(bad, 15 + 220 + 24, (uint64_t)-5);  // captured length
    tmp.write(bad);
    kav_logfile log{};
    log.path = tmp.path.c_str();
    ASSERT_EQ(kav_read_loghdr(&log, nullptr, 4096), 0);
    ASSERT_EQ(kav_read_seshdr(&log, 0), 0);
    EXPECT_EQ(kav_read_evt(&log, -1, buf, sizeof buf, 0, &trunc), 1);
    EXPECT_STREQ(tvl_usrmsg, "Log file is corrupt, got caplen=-5 on evt 0");
    kav_close_logfile(&log);
  }
}

// A log written by an older big-endian writer: 8-byte fields carry their
// value in the first four bytes, most significant first.
TEST(KavLogRead, OtherByteOrderConvertsFirstFourBytes) {
  std::vector<uint8_t> b(15 + 216 + 4 + 40 + 3 + 40 + 40, 0);
  memcpy(b.data(), "kavtap", 6);
  b[10] = 3, b[11] = 1, b[12] = 0x12, b[13] = 0x34, b[14] = 1;
  size_t s = 15;
  strcpy((char *)&b[s], "sparc1");
  put_be32_field(b, s + 72, 900000000);
  strcpy((char *)&b[s + 80], "le0");
  b[s + 116] = 192, b[s + 117] = 168, b[s + 118] = 0, b[s + 119] = 1;
  put_be32_field(b, s + 120, 0xFFFFFF00u);
  put_be32_field(b, s + 128, 1500);
  put_be32_field(b, s + 136, 0xFFFFFFFFu);
  put_be32_field(b, s + 144, 4);
  put_be32_field(b, s + 152, 9);
  put_be32_field(b, s + 160, 4);
  put_be32_field(b, s + 184, 6);
  b[s + 192] = 8;
  memcpy(&b[s + 216], "udp", 4);
  size_t e = s + 220;
  b[e + 1] = 1;
  put_be32_field(b, e + 8, 900000001);
  put_be32_field(b, e + 16, 999999);
  put_be32_field(b, e + 24, 3);
  put_be32_field(b, e + 32, 64);
  b[e + 40] = 0xAA;
  size_t e2 = e + 43;
  b[e2 + 1] = 4;
  size_t t = e2 + 40;
  put_be32_field(b, t, 30);
  put_be32_field(b, t + 8, 1);
  put_be32_field(b, t + 16, 64);
  put_be32_field(b, t + 24, 0xFFFFFFFFu);
  // The last four bytes of a field are discarded.
  b[t + 36] = 0x77;
  TempPath tmp;
  tmp.write(b);

  kav_logfile log{};
  log.path = tmp.path.c_str();
  ASSERT_EQ(kav_read_loghdr(&log, nullptr, 4096), 0);
  EXPECT_EQ(log.swap, 1);
  ASSERT_EQ(kav_read_seshdr(&log, 0), 0);
  const kav_seshdr &h = log.sessions[0].hdr;
  EXPECT_EQ(h.start, 900000000);
  EXPECT_EQ(h.netmask, 0xFFFFFF00ll);
  EXPECT_EQ(h.mtu, 1500);
  EXPECT_EQ(h.snaplen, 0xFFFFFFFFll);
  EXPECT_EQ(h.capflags, 9);
  EXPECT_EQ(h.linktype, 4);
  EXPECT_EQ(h.hwaddrlen, 6);
  EXPECT_EQ(h.ipaddr[0], 192);
  EXPECT_EQ(h.hwaddr[0], 8);
  EXPECT_STREQ(log.sessions[0].filter, "udp");
  unsigned char buf[16];
  int trunc;
  ASSERT_EQ(kav_read_evt(&log, -1, buf, sizeof buf, 0, &trunc), 0);
  EXPECT_EQ(log.evthdr.sec, 900000001);
  EXPECT_EQ(log.evthdr.usec, 999999);
  EXPECT_EQ(log.evthdr.caplen, 3);
  EXPECT_EQ(log.evthdr.wirelen, 64);
  EXPECT_EQ(buf[0], 0xAA);
  ASSERT_EQ(kav_read_evt(&log, -1, buf, sizeof buf, 0, &trunc), 0);
  EXPECT_EQ(log.sessions[0].trl.duration, 30);
  EXPECT_EQ(log.sessions[0].trl.frames, 1);
  EXPECT_EQ(log.sessions[0].trl.octets, 64);
  EXPECT_EQ(log.sessions[0].trl.rejected, 0xFFFFFFFFll);
  EXPECT_EQ(log.sessions[0].trl.rej_octets, 0);
  kav_close_logfile(&log);
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() {
    if (fd[0] >= 0) close(fd[0]);
    if (fd[1] >= 0) close(fd[1]);
  }
  int pending() const {
    int n = -1;
    ioctl(fd[0], FIONREAD, &n);
    return n;
  }
};

TEST(KavLogPipe, FlushesEveryEventOnAPipe) {
  unsetenv("TOV_STDOUT_NOBUF");
  Pipe p;
  FILE *w = fdopen(p.fd[1], "w");
  ASSERT_NE(w, nullptr);
  p.fd[1] = -1;
  kav_logfile log{};
  log.stream = w;
  log.hdr.nsessions = 1;
  ASSERT_EQ(kav_write_loghdr(&log, nullptr, 131072), 0);
  EXPECT_EQ(log.nobuf, 1);
  fill_session(&log.sessions[0], "ip");
  ASSERT_EQ(kav_write_seshdr(&log, 0), 0);
  ASSERT_EQ(write_event(&log, 0, KAV_EVT_FRAME, 1, 0, pattern(100, 5), 100), 0);
  EXPECT_EQ(p.pending(), 15 + 216 + 3 + 40 + 100);
  ASSERT_EQ(write_event(&log, 0, KAV_EVT_FRAME, 1, 0, pattern(10, 5), 10), 0);
  EXPECT_EQ(p.pending(), 15 + 216 + 3 + 40 + 100 + 50);
  kav_close_logfile(&log);
  EXPECT_EQ(log.stream, w);  // a caller's stream stays open
  fclose(w);
}

TEST(KavLogPipe, RegularFileIsBufferedUnlessNobufIsY) {
  for (const char *env : {(const char *)nullptr, "n", "Y"}) {
    if (env)
      setenv("TOV_STDOUT_NOBUF", env, 1);
    else
      unsetenv("TOV_STDOUT_NOBUF");
    TempPath tmp;
    FILE *f = fopen(tmp.path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    kav_logfile log{};
    log.stream = f;
    log.hdr.nsessions = 1;
    ASSERT_EQ(kav_write_loghdr(&log, nullptr, 65536), 0);
    fill_session(&log.sessions[0], nullptr);
    ASSERT_EQ(kav_write_seshdr(&log, 0), 0);
    ASSERT_EQ(write_event(&log, 0, KAV_EVT_FRAME, 1, 0, pattern(100, 5), 100), 0);
    struct stat st;
    ASSERT_EQ(stat(tmp.path.c_str(), &st), 0);
    bool flushed = env && strcmp(env, "Y") == 0;
    EXPECT_EQ(log.nobuf, flushed ? 1 : 0) << (env ? env : "unset");
    EXPECT_EQ(st.st_size, flushed ? 15 + 216 + 40 + 100 : 0) << (env ? env : "unset");
    kav_close_logfile(&log);
    fclose(f);
    EXPECT_EQ(tmp.bytes().size(), 15u + 216 + 40 + 100);
  }
  unsetenv("TOV_STDOUT_NOBUF");
}

// Writer and reader on the two ends of a pipe; a 20000-byte frame read with
// a 17000-byte buffer is delivered cut, and the stream stays in step.
TEST(KavLogPipe, RoundTripWithTruncatedEvent) {
  Pipe p;
  FILE *w = fdopen(p.fd[1], "w");
  FILE *r = fdopen(p.fd[0], "r");
  ASSERT_TRUE(w && r);
  p.fd[0] = p.fd[1] = -1;
  std::thread writer([w] {
    kav_logfile log{};
    log.stream = w;
    log.hdr.nsessions = 1;
    if (kav_write_loghdr(&log, nullptr, 131072) == 0) {
      fill_session(&log.sessions[0], nullptr);
      kav_write_seshdr(&log, 0);
      write_event(&log, 0, KAV_EVT_FRAME, 1, 0, pattern(20000, 9), 20000);
      write_event(&log, 0, KAV_EVT_FRAME, 2, 0, pattern(300, 4), 300);
      write_event(&log, 0, KAV_EVT_END, 3, 0, {}, 0);
    }
    kav_close_logfile(&log);
    fclose(w);
  });
  kav_logfile log{};
  log.stream = r;
  ASSERT_EQ(kav_read_loghdr(&log, nullptr, 131072), 0);
  ASSERT_EQ(kav_read_seshdr(&log, 0), 0);
  std::vector<uint8_t> buf(17000);
  int trunc = 0;
  EXPECT_EQ(kav_read_evt(&log, 0, buf.data(), 17000, 0, &trunc), 1);
  EXPECT_EQ(trunc, 1);
  EXPECT_STREQ(tvl_usrmsg, "Event #1:0 truncated by 3000 bytes");
  EXPECT_EQ(log.sessions[0].evthdr.caplen, 17000);
  EXPECT_EQ(log.sessions[0].evthdr.wirelen, 20000);
  std::vector<uint8_t> want = pattern(20000, 9);
  EXPECT_EQ(0, memcmp(buf.data(), want.data(), 17000));
  ASSERT_EQ(kav_read_evt(&log, 0, buf.data(), 17000, 0, &trunc), 0);
  EXPECT_EQ(trunc, 0);
  EXPECT_EQ(log.sessions[0].evthdr.caplen, 300);
  want = pattern(300, 4);
  EXPECT_EQ(0, memcmp(buf.data(), want.data(), 300));
  ASSERT_EQ(kav_read_evt(&log, 0, buf.data(), 17000, 0, &trunc), 0);
  EXPECT_EQ(log.sessions[0].evthdr.type, KAV_EVT_END);
  EXPECT_EQ(log.sessions[0].trl.frames, 2);
  EXPECT_EQ(log.sessions[0].trl.octets, 20300);
  EXPECT_EQ(kav_read_evt(&log, 0, buf.data(), 17000, 0, &trunc), 1);
  EXPECT_EQ(log.eof, 1);
  writer.join();
  kav_close_logfile(&log);
  fclose(r);
}

TEST(KavLogDesc, NamesLogSources) {
  EXPECT_STREQ(kav_logdesc[KAV_LOGSRC_VELMORA], "Velmora");
  EXPECT_STREQ(kav_logdesc[KAV_LOGSRC_SNOOP], "Snoop");
  EXPECT_STREQ(kav_logdesc[KAV_LOGSRC_TCPDUMP], "Tcpdump");
  EXPECT_STREQ(kav_logdesc[KAV_LOGSRC_IP], "IP");
  EXPECT_STREQ(kav_logdesc[KAV_LOGSRC_ETHER], "Ethernet");
}

}  // namespace
