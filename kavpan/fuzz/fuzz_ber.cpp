// libFuzzer target: the BER walker with and without each schema (LDAP, SNMP,
// certificate, revocation list) at every verbosity, with OID names loaded.
#include <unistd.h>

#include "fuzz_common.h"
#include "panrpcber.h"

namespace {

// A few names, so that the prefix search of the OID lookup runs too.
void load_names() {
  char dir[] = "/tmp/fuzz-ber-XXXXXX";
  if (!mkdtemp(dir)) return;
  char path[64];
  snprintf(path, sizeof path, "%s/oids.map", dir);
  FILE *f = fopen(path, "w");
  if (f) {
    fputs("1.3.6.1 = internet\n1.3.6.1.2.1.1.5 = sysName\n2.5.4.3 = commonName\n2.5.29 = id-ce\n", f);
    fclose(f);
    setenv("TOVADIR", dir, 1);
    kav_cache_oids();
  }
  unlink(path);
  rmdir(dir);
}

const int kCodes[] = {KAV_MAP_ASN1,     KAV_PORT_SNMP,   KAV_PORT_SNMPTRAP, KAV_PORT_LDAP,
                      KAV_MAP_X509CERT, KAV_MAP_X509CRL, 0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (fuzz_quiet_output(false)) load_names();
  if (size < 1) return 0;
  unsigned sel = data[0];
  data++;
  size--;
  kav_vblvl = int(sel & 3) + 1;
  int layer = (sel & 4) ? KAV_LAYER_TEXT : KAV_LAYER_APP;
  int code = kCodes[(sel >> 3) % (sizeof kCodes / sizeof kCodes[0])];
  kav_envdmpfmt = (sel & 0x80) ? 1 : 0;
  fuzz_copy copy(data, size);
  kav_panasn1(copy.view(), layer, code, "F");
  return 0;
}
