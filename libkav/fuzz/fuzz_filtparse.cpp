// Filter compiler on arbitrary text; what compiles is checked for a sound
// node layout and matched against a few frames. Compiling the same text twice
// gives the same tree or the same message: nothing leaks from one parse into
// the next.
#include "fuzz_netns.h"
#include "kav.h"
#include "tova.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TOVATRC_FILENAME", "/dev/null", 1);
  isolate_network();
  return 0;
}

static const uint8_t kFrame[] = {
    0x02, 0x11, 0x22, 0x33, 0x44, 0x01, 0x02, 0x11, 0x22, 0x33, 0x44, 0x02, 0x08, 0x00,  // Ethernet
    0x45, 0x00, 0x00, 0x28, 0x12, 0x34, 0x20, 0x00, 0x40, 0x06, 0x00, 0x00,              // IPv4
    0x0a, 0x01, 0x01, 0x01, 0x0a, 0x01, 0x01, 0x02,                                      //
    0x04, 0x01, 0x00, 0x50, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x12, 0xff, 0xff, 0, 0, 0, 0,  // TCP
    0, 0, 0, 0, 0, 0};

static void check_layout(const kav_filtnode *n, int count) {
  for (int i = 0; i < count; i++) {
    if (n[i].nchild == 0) continue;
    if (n[i].nchild < 2 || n[i].child <= 0 || i + n[i].child + n[i].nchild > count) abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.c_str();  // up to the first NUL
  int bytes = 0;
  tvl_usrmsg[0] = 0;
  void *f = kav_filt_parse(text.c_str(), &bytes);
  std::string msg = tvl_usrmsg;
  tvl_usrmsg[0] = 0;
  int bytes2 = 0;
  void *again = kav_filt_parse(text.c_str(), &bytes2);
  if ((f == nullptr) != (again == nullptr) || msg != tvl_usrmsg) abort();
  if (!f) {
    if (msg.empty()) abort();  // a failure always says why
    return 0;
  }
  if (bytes2 != bytes) abort();
  if (bytes <= 0 || bytes % (int)sizeof(kav_filtnode) != 0) abort();
  check_layout(static_cast<const kav_filtnode *>(f), bytes / (int)sizeof(kav_filtnode));
  for (size_t len : {sizeof kFrame, (size_t)40, (size_t)14, (size_t)0}) {
    uint8_t *copy = static_cast<uint8_t *>(malloc(len ? len : 1));
    memcpy(copy, kFrame, len);
    if (kav_filt_match(f, copy, (int)len, KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW) !=
            kav_filt_match(again, copy, (int)len, KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW) ||
        kav_filt_match(f, copy, (int)len, KAV_DL_CSMACD, nullptr, nullptr, nullptr, 0) !=
            kav_filt_match(again, copy, (int)len, KAV_DL_CSMACD, nullptr, nullptr, nullptr, 0))
      abort();
    free(copy);
  }
  kav_filt_free(f);
  kav_filt_free(again);
  return 0;
}
