// The analyser against output that fails (a pipe whose reader goes while it
// decodes or while its input is quiet, a full device, a file that may not
// grow), against captures of another format, and its banner for a session
// captured on a link without an IPv4 address.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "outpipe.h"
#include "capgen.h"
#include "testsupport.h"

using namespace capgen;

namespace {

constexpr int64_t T0 = 1765180800;
const std::string kPipeGone = "Write failed on standard output - errno=32 [Broken pipe]\n";

std::vector<std::string> kavpan(const std::string &verbosity) {
  return {VELMORA_BIN_DIR "/kavpan", "-N", "-v", verbosity};
}

class Dir : public vts::TempDir {
 public:
  std::string put(const std::string &name, const Bytes &b) const {
    std::ofstream f(file(name), std::ios::binary);
    f.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
    return file(name);
  }
};

Bytes frame(int i) {
  Tcp t;
  t.sport = uint16_t(40000 + i % 1000);
  t.dport = 80;
  t.seq = uint32_t(i);
  uint32_t a = ip4(192, 168, 7, 1), b = ip4(192, 168, 7, 20);
  return ether(mac(2), mac(1), 0x0800, ipv4(a, b, 6, tcp4(a, b, t), uint16_t(i)));
}

Bytes log_of(int frames, bool closed = true) {
  LogWriter w;
  w.loghdr(1);
  Session s;
  s.start = T0;
  w.session(s);
  for (int i = 0; i < frames; i++) w.frame(0, T0 + i / 1000, i % 1000 * 1000, frame(i));
  if (closed) w.close(0, 4, T0 + frames / 1000 + 1, 0, Trailer{});
  return w.out;
}

TEST(KavpanOutput, ReaderGoneWhileDecoding) {
  Bytes in = log_of(100000);  // about 10 MB
  outpipe::Outcome o = outpipe::reader_goes(kavpan("4"), in, 1000, false);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(o.err, kPipeGone);
  // It stopped instead of decoding the rest for nobody.
  EXPECT_TRUE(o.input_cut);
  EXPECT_LT(o.fed, in.size() / 4);
}

TEST(KavpanOutput, ReaderGoneWhileInputIsQuiet) {
  Dir d;
  // What the analyser prints for a log whose capture goes on: the reader
  // takes all of it, then goes while the analyser waits for more.
  Bytes in = log_of(2, false);
  outpipe::Outcome whole = outpipe::to_path(kavpan("2"), d.put("in", in), d.file("out"));
  ASSERT_EQ(whole.status, 0) << whole.err;
  std::string text = vts::readFile(d.file("out"));
  size_t shown = text.find("- Evt=2");
  ASSERT_NE(shown, std::string::npos) << text;
  shown = text.find('\n', shown) + 1;
  outpipe::Outcome o = outpipe::reader_goes(kavpan("2"), in, shown, true);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(o.err, kPipeGone);
}

TEST(KavpanOutput, FullDeviceAndFileSizeLimit) {
  Dir d;
  std::string in = d.put("in", log_of(200));
  outpipe::Outcome full = outpipe::to_path(kavpan("2"), in, "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "Write failed on standard output - errno=28 [No space left on device]\n");
  // Block-buffered into a regular file: lost when a buffer goes out.
  outpipe::Outcome big = outpipe::to_path(kavpan("4"), in, d.file("out"), 4000);
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.err, "Write failed on standard output - errno=27 [File too large]\n");
  // Lost only at the last flush.
  outpipe::Outcome tail = outpipe::to_path(kavpan("2"), d.put("small", log_of(3)), d.file("out"), 200);
  EXPECT_EQ(tail.status, 1);
  EXPECT_EQ(tail.err, "Write failed on standard output - errno=27 [File too large]\n");
  // With room, the same runs succeed.
  EXPECT_EQ(outpipe::to_path(kavpan("4"), in, d.file("out")).status, 0);
}

Bytes pcap_header(const Bytes &magic) {
  Bytes b = magic;
  Bytes rest = {2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 0, 0, 0};
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

const std::string kForeign =
    "Logfile: this is a pcap/pcapng capture; import it with: kav_import -x Tcpdump < FILE | kavpan\n";

TEST(KavpanInput, PcapAndPcapngAreNamed) {
  Dir d;
  const Bytes shb_le = {0x0a, 0x0d, 0x0d, 0x0a, 28, 0, 0, 0, 0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0,
                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 28, 0, 0, 0};
  const Bytes shb_be = {0x0a, 0x0d, 0x0d, 0x0a, 0, 0, 0, 28, 0x1a, 0x2b, 0x3c, 0x4d, 0, 1, 0, 0,
                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 28};
  struct Case {
    const char *what;
    Bytes bytes;
  } cases[] = {
      {"pcap, little-endian, microseconds", pcap_header({0xd4, 0xc3, 0xb2, 0xa1})},
      {"pcap, big-endian, microseconds", pcap_header({0xa1, 0xb2, 0xc3, 0xd4})},
      {"pcap, little-endian, nanoseconds", pcap_header({0x4d, 0x3c, 0xb2, 0xa1})},
      {"pcap, big-endian, nanoseconds", pcap_header({0xa1, 0xb2, 0x3c, 0x4d})},
      {"pcapng, little-endian", shb_le},
      {"pcapng, big-endian", shb_be},
  };
  for (const auto &c : cases) {
    outpipe::Outcome o = outpipe::to_path(kavpan("2"), d.put("cap", c.bytes), d.file("out"));
    EXPECT_EQ(o.status, 1) << c.what;
    EXPECT_EQ(o.err, kForeign) << c.what;
  }
  // Not every file starting like a section header block is pcapng, and a
  // log of another version is still told as such.
  Bytes odd = shb_le;
  odd[8] = 0;
  outpipe::Outcome o = outpipe::to_path(kavpan("2"), d.put("odd", odd), d.file("out"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err.rfind("Logfile: Different logfile major version (3.1 vs file=", 0), 0u) << o.err;

  // Real files: a capture of the public corpus and a pcapng written from it.
  std::string corpus = vts::corpus_dir() + "/08-sunrise-sunset-esp2.pcap";
  VTS_REQUIRE(access(corpus.c_str(), R_OK) == 0, "no corpus at " << corpus);
  o = outpipe::to_path(kavpan("2"), corpus, d.file("out"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, kForeign);
  VTS_REQUIRE(vts::have_tool("editcap"), "editcap not installed");
  ASSERT_EQ(system(("editcap -F pcapng '" + corpus + "' '" + d.file("ng") + "'").c_str()), 0);
  o = outpipe::to_path(kavpan("2"), d.file("ng"), d.file("out"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, kForeign);
}

TEST(KavpanBanner, InterfaceWithoutAddress) {
  Dir d;
  LogWriter w;
  w.loghdr(1);
  Session s;
  s.start = T0;
  s.ifname = "veth7";
  s.ipaddr = 0;
  s.netmask = 0;
  s.mtu = 9000;
  w.session(s);
  w.frame(0, T0, 0, frame(1));
  w.close(0, 4, T0 + 1, 0, Trailer{});
  std::string in = d.put("in", w.out);
  outpipe::Outcome o = outpipe::to_path(kavpan("4"), in, d.file("out"));
  ASSERT_EQ(o.status, 0) << o.err;
  std::string out = vts::readFile(d.file("out"));
  EXPECT_NE(out.find("Hostname: velmora-lab\nInterface: veth7\nInterface MTU: 9000\nLink Type: Ethernet\n"
                     "\nThe following packet-capture modes were in effect:\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Subnet Mask"), std::string::npos);
  EXPECT_EQ(out.find("0.0.0.0"), std::string::npos);
  o = outpipe::to_path(kavpan("1"), in, d.file("out"));
  EXPECT_NE(vts::readFile(d.file("out")).find("- Session 1: Host=velmora-lab, Interface=veth7\n"), std::string::npos);
}

}  // namespace
