// LDAP, SNMP and X.509 schemas for the BER walker: one state per field of the
// protocol's messages, hooks for the choices a table cannot express, and the
// value names the walker prints after integers, strings and tagged values.
#include <cstdio>
#include <cstring>

#include "panasn1_int.h"
#include "panrpcber.h"
#include "pansupp.h"

namespace {

constexpr int N = ST_NONE, H = ST_HOOK, X = ST_NOSCHEMA;

#define NV(a) a, int(sizeof(a) / sizeof(a[0]))
#define NONAMES nullptr, 0

// ---- X.509 -------------------------------------------------------------------------

const asn1_state k_x509[] = {
    {0, N, 1, nullptr, NONAMES, nullptr, 0, 0},
    {1, 28, H, "signed object", NONAMES, nullptr, 0, 0},
    {2, 3, 41, "version", NONAMES, nullptr, 0, 0},
    {3, 4, N, "serialNumber", NONAMES, nullptr, 0, 0},
    {4, 5, 13, "signature", NONAMES, nullptr, 0, 0},
    {5, 6, 24, "issuer", NONAMES, nullptr, 0, 0},
    {6, 7, 15, "validity", NONAMES, nullptr, 0, 0},
    {7, 8, 24, "subject", NONAMES, nullptr, 0, 0},
    {8, 9, 17, "subjectPublicKeyInfo", NONAMES, nullptr, 0, 0},
    {9, 9, N, nullptr, NONAMES, nullptr, 0, 0},
    {10, 9, 42, "issuerID", NONAMES, nullptr, 0, 0},
    {11, 9, 42, "subjectID", NONAMES, nullptr, 0, 0},
    {12, N, 19, "extensions", NONAMES, nullptr, 0, 0},
    {13, 14, N, "algorithm", NONAMES, nullptr, 0, 0},
    {14, N, 42, "parameters", NONAMES, nullptr, 0, 0},
    {15, 16, N, "notBefore", NONAMES, nullptr, 0, 0},
    {16, N, N, "notAfter", NONAMES, nullptr, 0, 0},
    {17, 18, 13, "algorithm", NONAMES, nullptr, 0, 0},
    {18, N, N, "publicKey", NONAMES, nullptr, 0, 0},
    {19, N, 20, "extensions-list", NONAMES, nullptr, 0, 0},
    {20, 20, 21, "extension", NONAMES, nullptr, 0, 0},
    {21, 22, N, "extensionID", NONAMES, nullptr, 0, 0},
    {22, 23, N, "critical", NONAMES, nullptr, 0, 0},
    {23, N, X, "value", NONAMES, nullptr, 0, 0},
    {24, 24, 25, "RelativeDistinguishedName", NONAMES, nullptr, 0, 0},
    {25, 25, 26, "name-attribute", NONAMES, nullptr, 0, 0},
    {26, 27, N, "type", NONAMES, nullptr, 0, 0},
    {27, N, N, "value", NONAMES, nullptr, 0, 0},
    {28, 29, 13, "algorithmID", NONAMES, nullptr, 0, 0},
    {29, N, N, "encryptedHash", NONAMES, nullptr, 0, 0},
    {30, 31, 41, "version", NONAMES, nullptr, 0, 0},
    {31, 32, 13, "signature", NONAMES, nullptr, 0, 0},
    {32, 33, 24, "issuer", NONAMES, nullptr, 0, 0},
    {33, 34, N, "thisUpdate", NONAMES, nullptr, 0, 0},
    {34, 35, N, "nextUpdate", NONAMES, nullptr, 0, 0},
    {35, 36, 37, "revokedCertificates", NONAMES, nullptr, 0, 0},
    {36, N, 19, "extensions", NONAMES, nullptr, 0, 0},
    {37, 37, 38, "revoked-cert", NONAMES, nullptr, 0, 0},
    {38, 39, N, "userCertificate", NONAMES, nullptr, 0, 0},
    {39, 40, N, "revocationDate", NONAMES, nullptr, 0, 0},
    {40, N, 19, "extensions", NONAMES, nullptr, 0, 0},
    {41, N, N, "number", NONAMES, nullptr, 0, 0},
    {42, N, N, nullptr, NONAMES, nullptr, 0, 0},
};

int x509_child_state(asn1_dec &d, const asn1_item &it) {
  if (it.state == 1) {
    if (d.code == KAV_MAP_X509CERT) return 2;
    if (d.code == KAV_MAP_X509CRL) return 30;
    kavprt(-1, "  -- ETRAP! Missing proto case for UNDEF subloc (%d)\n", d.code);
    return X;
  }
  kavprt(-1, "  -- ETRAP! Missing loc case for UNDEF subloc (%d)\n", it.state);
  return X;
}

// The item turns out to be a later field than its position suggested: so
// does its container's idea of where the walk stands.
void restate(asn1_item &it, int s) {
  it.state = s;
  if (it.parent_cur) *it.parent_cur = s;
}

bool univ_seq(const asn1_item &it) { return it.cls == ASN1_UNIV && it.tag == 16; }

void x509_adjust(asn1_dec &d, asn1_item &it, kav_view, const char **) {
  if (it.state == 22 && !(it.cls == ASN1_UNIV && it.tag == 1)) restate(it, 23);
  if (it.state == 23) it.descend = true;
  if (d.code == KAV_MAP_X509CERT) {
    if (it.state == 2 && it.cls != ASN1_CTX)
      restate(it, 3);
    else if (it.state == 9 && it.cls == ASN1_CTX && it.tag >= 1 && it.tag <= 3)
      it.state = 9 + it.tag;
  } else if (d.code == KAV_MAP_X509CRL) {
    if (it.state == 30 && univ_seq(it))
      restate(it, 31);
    else if (it.state == 34 && it.cls != ASN1_UNIV)
      restate(it, 36);
    else if (it.state == 34 && univ_seq(it))
      restate(it, 35);
    else if (it.state == 35 && it.cls == ASN1_CTX)
      restate(it, 36);
  }
}

// ---- LDAP ----------------------------------------------------------------------------

const char *const k_ldap_ops[25] = {"Bind-Request",      "Bind-Response",          "Unbind-Request",
                                    "Search-Request",    "Search-Response-Entry",  "Search-Response-Result",
                                    "Modify-Request",    "Modify-Response",        "Add-Request",
                                    "Add-Response",      "Delete-Request",         "Delete-Response",
                                    "Modify-RDN-Request", "Modify-RDN-Response",   "Compare-Request",
                                    "Compare-Response",  "Abandon-Request",        nullptr,
                                    nullptr,             "Search-Response-Ref",    nullptr,
                                    nullptr,             nullptr,                  "Extended-Request",
                                    "Extended-Response"};
const char *const k_ldap_auth[] = {"simple", "krbv42LDAP", "krbv42DSA", "sasl"};
const char *const k_ldap_filter[] = {"AND",         "OR",          "NOT",     "equality", "substrings",
                                     "greaterOrEqual", "lessOrEqual", "present", "approx",   "extensible"};
const char *const k_ldap_loc[] = {"initial", "any", "final"};

const asn1_state k_ldap[] = {
    {0, N, 1, nullptr, NONAMES, nullptr, 0, 0},
    {1, 2, N, "messageID", NONAMES, nullptr, 0, 0},
    {2, 3, H, "PDU", NV(k_ldap_ops), "PDU type", 0, ASN1_SUMMARY},
    {3, N, 53, "controls", NONAMES, nullptr, 0, 0},
    {4, 5, N, "version", NONAMES, nullptr, 0, 0},
    {5, 6, N, "name", NONAMES, nullptr, 0, 0},
    {6, N, 57, "authentication", NV(k_ldap_auth), "auth-type", 4, 0},
    {7, 8, N, "baseObject", NONAMES, nullptr, 0, 0},
    {8, 9, N, "scope", NONAMES, nullptr, 0, 0},
    {9, 10, N, "derefAliases", NONAMES, nullptr, 0, 0},
    {10, 11, N, "sizeLimit", NONAMES, nullptr, 0, 0},
    {11, 12, N, "timeLimit", NONAMES, nullptr, 0, 0},
    {12, 13, N, "attrsOnly", NONAMES, nullptr, 0, 0},
    {13, 13, H, "filter", NV(k_ldap_filter), nullptr, -1, 0},
    {14, N, 59, "attributes", NONAMES, nullptr, 0, 0},
    {15, 16, N, "objectName", NONAMES, nullptr, 0, 0},
    {16, N, 50, "attributes", NONAMES, nullptr, 0, 0},
    {17, 18, N, "object", NONAMES, nullptr, 0, 0},
    {18, N, 47, "modifications", NONAMES, nullptr, 0, 0},
    {19, 20, N, "entry", NONAMES, nullptr, 0, 0},
    {20, N, 50, "attributes", NONAMES, nullptr, 0, 0},
    {21, 22, N, "entry", NONAMES, nullptr, 0, 0},
    {22, 23, N, "newRDN", NONAMES, nullptr, 0, 0},
    {23, 24, N, "deleteOldRDN", NONAMES, nullptr, 0, 0},
    {24, N, N, "newSuperior", NONAMES, nullptr, 4, 0},
    {25, 26, N, "entry", NONAMES, nullptr, 0, 0},
    {26, N, 37, "ava", NONAMES, nullptr, 0, 0},
    {27, 28, N, "name", NONAMES, nullptr, 4, ASN1_OIDTEXT},
    {28, N, N, "value", NONAMES, nullptr, 4, 0},
    {29, 30, N, "resultCode", NONAMES, nullptr, 0, 0},
    {30, 31, N, "matchedDN", NONAMES, nullptr, 0, 0},
    {31, 32, N, "errorMessage", NONAMES, nullptr, 0, 0},
    {32, 32, N, nullptr, NONAMES, nullptr, 0, 0},
    {33, 32, 61, "referral", NONAMES, nullptr, 0, 0},
    {34, 32, N, "serverSaslCreds", NONAMES, nullptr, 4, 0},
    {35, 32, N, "responseName", NONAMES, nullptr, 4, ASN1_OIDTEXT},
    {36, 32, N, "response", NONAMES, nullptr, 4, 0},
    {37, 38, N, "attributeType", NONAMES, nullptr, 0, 0},
    {38, N, N, "attributeValue", NONAMES, nullptr, 0, 0},
    {39, 40, N, "attributeType", NONAMES, nullptr, 0, 0},
    {40, N, 41, "substrings", NONAMES, nullptr, 0, 0},
    {41, 41, N, "location", NV(k_ldap_loc), "substring-filter", 4, 0},
    {42, 42, N, nullptr, NONAMES, nullptr, 0, 0},
    {43, 42, N, "matchingRule", NONAMES, nullptr, 4, 0},
    {44, 42, N, "type", NONAMES, nullptr, 4, 0},
    {45, 42, N, "matchValue", NONAMES, nullptr, 4, 0},
    {46, 42, N, "dnAttributes", NONAMES, nullptr, 1, 0},
    {47, 47, 48, "mod-op", NONAMES, nullptr, 0, 0},
    {48, 49, N, "operation", NONAMES, nullptr, 0, 0},
    {49, N, 51, "modification", NONAMES, nullptr, 0, 0},
    {50, 50, 51, "attribute", NONAMES, nullptr, 0, 0},
    {51, 52, N, "attributeType", NONAMES, nullptr, 0, 0},
    {52, 52, 60, "attributeValues", NONAMES, nullptr, 0, 0},
    {53, 53, 54, "control", NONAMES, nullptr, 0, 0},
    {54, 55, N, "type", NONAMES, nullptr, 0, ASN1_OIDTEXT},
    {55, 56, N, "criticality", NONAMES, nullptr, 0, 0},
    {56, N, N, "value", NONAMES, nullptr, 0, 0},
    {57, 58, N, "mechanism", NONAMES, nullptr, 0, 0},
    {58, N, N, "credentials", NONAMES, nullptr, 0, 0},
    {59, 59, N, "attributeName", NONAMES, nullptr, 0, 0},
    {60, 60, N, "attributeValue", NONAMES, nullptr, 0, 0},
    {61, 61, N, "LDAP-URL", NONAMES, nullptr, 0, 0},
};

int ldap_child_state(asn1_dec &, const asn1_item &it) {
  if (it.state == 2) {
    switch (it.tag) {
      case 0: return 4;
      case 1: case 5: case 7: case 9: case 11: case 13: case 15: return 29;
      case 2: case 10: case 16: return N;
      case 3: return 7;
      case 4: return 15;
      case 6: return 17;
      case 8: return 19;
      case 12: return 21;
      case 14: return 25;
      case 19: return 61;
      case 23: return 27;
      case 24: return 32;
      default: return X;
    }
  }
  if (it.state == 13) {
    switch (it.tag) {
      case 0: case 1: case 2: case 7: return 13;
      case 3: case 5: case 6: case 8: return 37;
      case 4: return 39;
      case 9: return 42;
      default: return X;
    }
  }
  kavprt(-1, "  -- ETRAP! Missing loc case for UNDEF subloc (%d)\n", it.state);
  return X;
}

void ldap_adjust(asn1_dec &d, asn1_item &it, kav_view, const char **) {
  switch (it.state) {
    case 0:
      if (!(univ_seq(it) && it.cons)) {
        it.state = X;
        if (kav_vblvl != 4) d.stop = true;  // not an LDAP message: nothing to summarise
      }
      break;
    case 13:
      if (it.cls == ASN1_UNIV) {
        restate(it, 14);
      } else if (it.cls == ASN1_APPL || it.cls == ASN1_PRIV) {
        kavprt(4, "  -- ERROR: Unexpected tag class");
        it.state = X;
      }
      break;
    case 32:
      if (it.cls == ASN1_CTX) {
        if (it.tag == 3) it.state = 33;
        else if (it.tag == 7) it.state = 34;
        else if (it.tag == 10) it.state = 35;
        else if (it.tag == 11) it.state = 36;
      }
      break;
    case 42:
      if (it.cls == ASN1_CTX && it.tag >= 1 && it.tag <= 4) it.state = 42 + it.tag;
      break;
    default:
      break;
  }
}

// ---- SNMP ----------------------------------------------------------------------------

const char *const k_snmp_pdus[] = {"Get-Request", "Get-Next-Request", "Get-Response",  "Set-Request", "Trap (SNMPv1)",
                                   "Get-Bulk-Request", "Inform-Request", "Trap (SNMPv2)", "Report"};

const asn1_state k_snmp[] = {
    {0, N, H, nullptr, NONAMES, nullptr, 0, 0},
    {1, H, N, "version", NONAMES, nullptr, 0, 0},
    {2, 3, N, "community", NONAMES, nullptr, 0, 0},
    {3, N, H, "PDU", NV(k_snmp_pdus), "PDU type", 0, ASN1_SUMMARY},
    {4, H, N, "parameters", NONAMES, nullptr, 0, 0},
    {5, 6, 32, "msgGlobalData", NONAMES, nullptr, 0, 0},
    {6, H, N, "msgSecurityParams", NONAMES, nullptr, 0, 0},
    {7, 8, N, "privDst", NONAMES, nullptr, 0, 0},
    {8, N, 9, "privData", NONAMES, nullptr, 4, 0},
    {9, N, 10, nullptr, NONAMES, nullptr, 0, 0},
    {10, 11, N, "authInfo", NONAMES, nullptr, 0, 0},
    {11, N, 12, "authData", NONAMES, nullptr, 0, 0},
    {12, 13, N, "dstParty", NONAMES, nullptr, 0, 0},
    {13, 14, N, "srcParty", NONAMES, nullptr, 0, 0},
    {14, 3, N, "context", NONAMES, nullptr, 0, 0},
    {15, 16, N, "request-id", NONAMES, nullptr, 0, 0},
    {16, 17, N, "error-status", NONAMES, nullptr, 0, 0},
    {17, 18, N, "error-index", NONAMES, nullptr, 0, 0},
    {18, N, 29, "variable-bindings", NONAMES, nullptr, 0, 0},
    {19, 20, N, "enterprise", NONAMES, nullptr, 0, 0},
    {20, 21, N, "agent-address", NONAMES, nullptr, 0, 0},
    {21, 22, N, "generic-trap", NONAMES, nullptr, 0, 0},
    {22, 23, N, "specific-trap", NONAMES, nullptr, 0, 0},
    {23, 24, N, "timestamp", NONAMES, nullptr, 0, 0},
    {24, N, 29, "variable-bindings", NONAMES, nullptr, 0, 0},
    {25, 26, N, "request-id", NONAMES, nullptr, 0, 0},
    {26, 27, N, "non-repeaters", NONAMES, nullptr, 0, 0},
    {27, 28, N, "max-repititions", NONAMES, nullptr, 0, 0},
    {28, N, 29, "variable-bindings", NONAMES, nullptr, 0, 0},
    {29, 29, 30, "attribute", NONAMES, nullptr, 0, 0},
    {30, 31, N, "Name", NONAMES, nullptr, 0, 0},
    {31, N, N, "Value", NONAMES, nullptr, 0, 0},
    {32, 33, N, "msgID", NONAMES, nullptr, 0, 0},
    {33, 34, N, "msgMaxSize", NONAMES, nullptr, 0, 0},
    {34, 35, N, "msgFlags", NONAMES, nullptr, 0, 0},
    {35, N, N, "msgSecurityModel", NONAMES, nullptr, 0, 0},
    {36, 37, N, "contextEngineID", NONAMES, nullptr, 0, 0},
    {37, 3, N, "contextName", NONAMES, nullptr, 0, 0},
    {38, N, X, "Encrypted-PDU", NONAMES, nullptr, 0, 0},
};

int snmp_child_state(asn1_dec &d, const asn1_item &it) {
  if (it.state == 0) {
    if (it.cls == ASN1_UNIV) return 1;
    if (it.cls == ASN1_CTX) {
      d.version = 4;
      return 7;
    }
    return X;
  }
  if (it.state == 3) {
    if ((it.tag >= 0 && it.tag <= 3) || (it.tag >= 6 && it.tag <= 8)) return 15;
    if (it.tag == 4) return 19;
    if (it.tag == 5) return 25;
    return X;
  }
  kavprt(-1, "  -- ETRAP! Missing loc case for UNDEF subloc (%d)\n", it.state);
  return X;
}

int snmp_next_state(asn1_dec &d, const asn1_item &it) {
  if (it.state == 1) {
    switch (d.version) {
      case 0: case 1: return 2;
      case 2: return 4;
      case 3: return 5;
      default:
        kavprt(-1, "ETRAP! unexpected state (S_VER) or pduver (%d)\n", d.version);
        return X;
    }
  }
  if (it.state == 4 || it.state == 6) return d.privacy ? 38 : 3;
  kavprt(-1, "  -- ETRAP! Missing loc case for UNDEF nxtloc (%d)\n", it.state);
  return X;
}

void snmp_adjust(asn1_dec &d, asn1_item &it, kav_view content, const char **note) {
  switch (it.state) {
    case 0:
      if (it.cls == ASN1_CTX) *note = "SNMPv2p";
      break;
    case 8:
      it.descend = true;
      break;
    case 10:
      if (content.empty()) *note = "noAuth";
      break;
    case 30:
      d.varname = it.cons ? kav_view() : content;
      break;
    case 31:
      if (it.cls == ASN1_CTX) {
        static const char *const ex[3] = {"noSuchObject", "noSuchInstance", "endOfMibView"};
        if (it.tag >= 0 && it.tag <= 2) *note = ex[it.tag];
      }
      break;
    default:
      break;
  }
}

// Values of a few MIB-2 variables, by the exact variable name.
const char *const k_iftypes[] = {
    "Other", "Regular 1822", "HDH 1822", "DDN X.25", "RFC877 X.25", "Ethernet CSMACD", "802.3 CSMACD",
    "802.4 Token Bus", "802.5 Token Ring", "802.6 MAN", "StarLan", "Proteon 10Mbps", "Proteon 80Mbps",
    "HyperChannel", "FDDI", "LAPB", "SDLC", "DS1 (T1)", "E1", "ISDN BRI", "ISDN PRI", "Proprietary serial", "PPP",
    "loopback", "eon (CLNP/IP)", "Ethernet 3MBps", "NSIP (XNS/IP)", "SLIP", "ULTRA", "DS3 (T3)", "SMDS",
    "Frame Relay", "rs232", "parallel", "arcnet", "arcnetPlus", "atm", "miox25", "sonet", "x25ple",
    "iso88022llc", "localTalk", "smdsDxi", "frameRelayService", "v35", "hssi", "hippi", "modem", "aal5",
    "sonetPath", "sonetVT", "smdsIcip", "propVirtual", "propMultiplexor", "ieee80212", "fibreChannel",
    "hippiInterface", "frameRelayInterconnect", "aflane8023", "aflane8025", "cctEmul", "fastEther", "isdn",
    "v11/x21", "v36", "g703at64k", "g703at2mb", "qllc", "fastEtherFX", "channel", "ieee80211", "ibm370parChan",
    "escon", "dlsw", "ISDN S/T", "ISDN U", "LAPD", "ipSwitch", "rsrb", "atmLogical", "ds0", "ds0Bundle", "BSC",
    "Async", "CNR", "iso88025Dtr", "eplrs", "arap", "propCnls", "hostPad", "termPad", "frameRelayMPI", "X.213",
    "ADSL", "radsl", "sdsl", "vdsl", "iso88025CRFPInt", "myrinet", "voiceEM", "voiceFXO", "voiceFXS",
    "voiceEncap", "voiceOverIp", "atmDxi", "atmFuni", "atmIma", "pppMultilinkBundle", "ipOverCdlc",
    "ipOverClaw", "stackToStack", "virtualIpAddress", "mpc", "ipOverAtm", "iso88025Fiber", "tdlc",
    "gigabitEthernet", "HDLC", "LAP F", "v37", "x25mlp", "x25huntGroup", "trasnpHdlc", "interleave", "fast", "ip",
    "docsCableMaclayer", "docsCableDownstream", "docsCableUpstream", "a12MppSwitch", "tunnel", "coffee", "ces",
    "atmSubInterface", "l2vlan", "l3ipvlan", "l3ipxvlan", "digitalPowerline", "mediaMailOverIp", "dtm", "dcn",
    "ipForward", "msdsl", "IEEE1394 Serial Bus"};
const char *const k_updown[] = {"Up", "Down", "Testing"};
const char *const k_ipfwd[] = {"Forwarding", "Not Forwarding"};
const char *const k_rttype[] = {"Other", "Invalid", "Direct", "Indirect"};
const char *const k_rtproto[] = {"Other", "Local", "Network Managament", "ICMP", "EGP", "GGP", "Hello",
                                 "RIP", "IS-IS", "ES-IS", "Cisco IGRP", "BBN SPF IGP", "OSPF", "BGP"};
const char *const k_nettomedia[] = {"Other", "Invalid", "Dynamic", "Static"};
const char *const k_rto[] = {"Other", "Constant", "MIL-STD-1778 App B", "Van Jacobsen"};
const char *const k_tcpstate[] = {"CLOSED",     "LISTEN",     "SYN_SENT",   "SYN_RCVD", "ESTABLISHED", "FIN_WAIT_1",
                                  "FIN_WAIT_2", "CLOSE_WAIT", "LAST_ACK", "CLOSING",  "TIME_WAIT",   "Delete TCB"};
const char *const k_enable[] = {"Enabled", "Disabled"};

struct varlist {
  unsigned char oid[12];  // the name's content octets
  int oidlen;
  const char *name;
  const char *const *vals;
  int n;
};
const varlist k_varlists[] = {
    {{0x2B, 6, 1, 2, 1, 2, 2, 1, 3}, 9, "ifType", NV(k_iftypes)},
    {{0x2B, 6, 1, 2, 1, 2, 2, 1, 7}, 9, "ifAdminStatus", NV(k_updown)},
    {{0x2B, 6, 1, 2, 1, 2, 2, 1, 8}, 9, "ifOperStatus", NV(k_updown)},
    {{0x2B, 6, 1, 2, 1, 4, 1}, 7, "ipForwarding", NV(k_ipfwd)},
    {{0x2B, 6, 1, 2, 1, 4, 21, 1, 8}, 9, "ipRouteType", NV(k_rttype)},
    {{0x2B, 6, 1, 2, 1, 4, 21, 1, 9}, 9, "ipRouteProto", NV(k_rtproto)},
    {{0x2B, 6, 1, 2, 1, 4, 22, 1, 4}, 9, "ipNetToMediaType", NV(k_nettomedia)},
    {{0x2B, 6, 1, 2, 1, 6, 1}, 7, "tcpRtoAlgorithm", NV(k_rto)},
    {{0x2B, 6, 1, 2, 1, 6, 13, 1, 1}, 9, "tcpConnState", NV(k_tcpstate)},
    // snmpEnableAuthenTraps is snmp.30, in the snmp group (mib-2 11), not tcp.30.
    {{0x2B, 6, 1, 2, 1, 11, 30}, 7, "snmpEnableAuthenTraps", NV(k_enable)},
};

const char *const k_snmp_versions[] = {"SNMPv1", "SNMPv2c", "SNMPv2u", "SNMPv3"};
const char *const k_errstat[] = {"noError",     "tooBig",        "noSuchName",         "badValue",
                                 "readOnly",    "genErr",        "noAccess",           "wrongType",
                                 "wrongLength", "wrongEncoding", "wrongValue",         "noCreation",
                                 "inconsistentValue", "resourceUnavailable", "commitFailed", "undoFailed",
                                 "authorizationError", "notWritable", "inconsistentName"};
const char *const k_generic[] = {"coldStart", "warmStart", "linkDown", "linkUp", "authenticationFailure",
                                 "egpNeighborLoss", "enterpriseSpecific"};

const char *const k_scope[] = {"baseObject", "singleLevel", "wholeSubtree"};
const char *const k_deref[] = {"neverDerefAliases", "derefInSearching", "derefFindingBaseObj", "derefAlways"};
const char *const k_modops[] = {"add", "delete", "replace"};
const char *const k_x509vers[] = {"v1 (1988)", "v2 (1993)", "v3 (1997)"};

struct sparse {
  int v;
  const char *name;
};
const sparse k_results[] = {{0, "success"},
                            {1, "operationsError"},
                            {2, "protocolError"},
                            {3, "timeLimitExceeded"},
                            {4, "sizeLimitExceeded"},
                            {5, "compareFalse"},
                            {6, "compareTrue"},
                            {7, "authMethodNotSupported"},
                            {8, "strongAuthRequired"},
                            {10, "referral"},
                            {11, "adminLimitExceeded"},
                            {12, "unavailableCriticalExtension"},
                            {13, "confidentialityRequired"},
                            {14, "saslBindInProgress"},
                            {16, "noSuchAttribute"},
                            {17, "undefinedAttributeType"},
                            {18, "inappropriateMatching"},
                            {19, "constraintViolation"},
                            {20, "attributeOrValueExists"},
                            {21, "invalidAttributeSyntax"},
                            {32, "noSuchObject"},
                            {33, "aliasProblem"},
                            {34, "invalidDNSyntax"},
                            {35, "isLeaf"},
                            {36, "aliasDereferencingProblem"},
                            {48, "inappropriateAuthentication"},
                            {49, "invalidCredentials"},
                            {50, "insufficientAccessRights"},
                            {51, "busy"},
                            {52, "unavailable"},
                            {53, "unwillingToPerform"},
                            {54, "loopDetect"},
                            {64, "namingViolation"},
                            {65, "objectClassViolation"},
                            {66, "notAllowedOnNonLeaf"},
                            {67, "notAllowedOnRDN"},
                            {68, "entryAlreadyExists"},
                            {69, "objectClassModsProhibited"},
                            {71, "affectsMultipleDSAs"},
                            {80, "other"}};

char g_warn[96];

const char *named(const char *const *vals, int n, int64_t v, bool small, const char *list) {
  if (small && v >= 0 && v < n && vals[v]) return vals[v];
  snprintf(g_warn, sizeof g_warn, "WARNING: unrecognised %s value", list);
  return g_warn;
}

// Values numbered from 1.
const char *named1(const char *const *vals, int n, int64_t v, bool small, const char *list) {
  return named(vals, n, small && v >= 1 ? v - 1 : -1, small, list);
}

const asn1_schema k_schema_x509 = {k_x509, int(sizeof k_x509 / sizeof k_x509[0]), x509_child_state, nullptr,
                                   x509_adjust};
const asn1_schema k_schema_ldap = {k_ldap, int(sizeof k_ldap / sizeof k_ldap[0]), ldap_child_state, nullptr,
                                   ldap_adjust};
const asn1_schema k_schema_snmp = {k_snmp, int(sizeof k_snmp / sizeof k_snmp[0]), snmp_child_state,
                                   snmp_next_state, snmp_adjust};

void lines_v2u(const asn1_dec &d, const asn1_item &it, kav_view c) {
  const char *L = d.label;
  int ind = 2 * it.depth;
  uint32_t model;
  if (!c.get8(0, model)) return;
  kavprt(4, "%s: %*sModel: %d\n", L, ind, "", int(model));
  if (model != 1) return;
  uint32_t qos, reboots, atime, maxsz, ulen, dlen;
  if (!c.get8(1, qos)) goto trunc;
  kavprt(4, "%s: %*sQos: %sAuth, %sPrivacy, %sReport-PDU\n", L, ind, "", (qos & 1) ? "" : "no",
         (qos & 2) ? "" : "no", (qos & 4) ? "" : "no");
  kavprt(4, "%s: %*sAgent ID: octets 3 to 14 incl\n", L, ind, "");
  if (!c.get32(14, reboots) || !c.get32(18, atime) || !c.get16(22, maxsz) || !c.get8(24, ulen)) goto trunc;
  kavprt(4, "%s: %*sAgent Reboots: %d\n", L, ind, "", int(reboots));
  kavprt(4, "%s: %*sAgent Time: %d\n", L, ind, "", int(atime));
  kavprt(4, "%s: %*sMax Msg Size: %d\n", L, ind, "", int(maxsz));
  kavprt(4, "%s: %*sUserName length: %d\n", L, ind, "", int(ulen));
  {
    kav_view user, digest;
    if (!c.exact(25, ulen, user)) goto trunc;
    if (ulen) kavprt(4, "%s: %*sUser Name: %.*s\n", L, ind, "", user.len, (const char *)user.base);
    if (!c.get8(25 + int(ulen), dlen)) goto trunc;
    kavprt(4, "%s: %*sAuth Digest length: %d\n", L, ind, "", int(dlen));
    if (!c.exact(26 + int(ulen), dlen, digest)) goto trunc;
    if (dlen) kavprt(4, "%s: %*sAuth Digest: %.*s\n", L, ind, "", digest.len, (const char *)digest.base);
    kavprt(4, "%s: %*sContext Selector: Last %d octets\n", L, ind, "", c.len - 26 - int(ulen) - int(dlen));
  }
  return;
trunc:
  kavprt(4, "%s: %*sTruncated!\n", L, ind, "");
}

}  // namespace

const asn1_schema *asn1_schema_for(int layer, int code) {
  if (layer != KAV_LAYER_APP) return nullptr;
  if (code == KAV_PORT_LDAP) return &k_schema_ldap;
  if (asn1_is_snmp(code)) return &k_schema_snmp;
  if (code == KAV_MAP_X509CERT || code == KAV_MAP_X509CRL) return &k_schema_x509;
  return nullptr;
}

const char *asn1_int_note(asn1_dec &d, const asn1_item &it, int64_t v, bool small) {
  int s = it.state;
  if (d.code == KAV_PORT_LDAP) {
    switch (s) {
      case 8: return named(NV(k_scope), v, small, "scope");
      case 9: return named(NV(k_deref), v, small, "alias-derefs");
      case 48: return named(NV(k_modops), v, small, "mod types");
      case 4: d.version = small ? int(v) : -1; return nullptr;
      case 29:
        if (small)
          for (const sparse &r : k_results)
            if (r.v == v) return r.name;
        return nullptr;
      default: return nullptr;
    }
  }
  if (d.code == KAV_MAP_X509CERT || d.code == KAV_MAP_X509CRL) {
    if (s != 41) return nullptr;
    d.version = small ? int(v) : -1;
    if (small && v >= 0 && v < 3) return k_x509vers[v];
    return "WARNING: unrecognised version";
  }
  if (asn1_is_snmp(d.code)) {
    switch (s) {
      case 1:
        d.version = small && v >= 0 && v < 0x7FFFFFFF ? int(v) : -1;
        if (small && v >= 0 && v < 4) return k_snmp_versions[v];
        return "WARNING: unrecognised protocol version";
      case 16: return named(NV(k_errstat), v, small, "error-status");
      case 21: return named(NV(k_generic), v, small, "generic-trap");
      case 31:
        for (const varlist &l : k_varlists)
          if (d.varname.len == l.oidlen && memcmp(d.varname.base, l.oid, size_t(l.oidlen)) == 0)
            return named1(l.vals, l.n, v, small, l.name);
        return nullptr;
      default: return nullptr;
    }
  }
  return nullptr;
}

void asn1_octets_extra(asn1_dec &d, const asn1_item &it, kav_view c) {
  if (it.state < 0 || it.state >= d.sch->ntab) return;
  if (d.sch->tab[it.state].flags & ASN1_OIDTEXT) {
    if (!kav_prtok(4)) return;
    char txt[1024];
    if (c.len < 1 || c.len >= int(sizeof txt)) return;
    for (int i = 0; i < c.len; i++) {
      uint32_t ch = c.u8(i);
      if (!((ch >= '0' && ch <= '9') || ch == '.')) return;
      txt[i] = char(ch);
    }
    txt[c.len] = 0;
    print_sym_oid(d.label, it.depth, txt);
    return;
  }
  if (!asn1_is_snmp(d.code)) return;
  if (it.state == 4) {
    uint32_t qos;
    if (c.get8(1, qos)) d.privacy = (qos & 2) != 0;
    if (kav_prtok(4)) lines_v2u(d, it, c);
  } else if (it.state == 34) {
    uint32_t f;
    if (!c.get8(0, f)) return;
    d.privacy = (f & 2) != 0;
    kavprt(4, "%sAuth, %sPrivacy, %sReport-PDU\n", (f & 1) ? "" : "no", (f & 2) ? "" : "no", (f & 4) ? "" : "no");
  }
}

void asn1_app_value(asn1_dec &d, const asn1_item &it, kav_view c) {
  if (d.code == KAV_PORT_LDAP) {
    if (it.tag == 10) {
      asn1_print_universal(d, it, 4, c);
    } else if (it.tag == 16) {
      asn1_print_universal(d, it, 2, c);
    } else {
      kavprt(4, it.tag == 2 ? "ERROR: Non-null Unbind Request\n" : "Unrecognised LDAP tag\n");
      kav_dumpv(c);
    }
    return;
  }
  if (asn1_is_snmp(d.code)) {
    switch (it.tag) {
      case 0:
        for (int i = 0; i < c.len; i++) kavprt(4, i ? ".%u" : "%u", c.u8(i));
        kavprt(4, "\n");
        return;
      case 1: case 2: case 3: case 6: {
        // Counters are unsigned: a leading zero octet keeps the top bit clear.
        int split = (it.tag == 6 && c.len > 8) ? c.len - 8 : 0;
        unsigned long hi = 0, lo = 0;
        for (int i = 0; i < split; i++) hi = (hi << 8) | c.u8(i);
        for (int i = split; i < c.len; i++) lo = (lo << 8) | c.u8(i);
        if (split)
          kavprt(4, "%lu, %lu\n", hi, lo);
        else
          kavprt(4, "%lu\n", lo);
        return;
      }
      case 4:
        asn1_print_universal(d, it, 4, c);
        return;
      default:
        kavprt(4, "Unrecognised SNMP tag\n");
        kav_dumpv(c);
        return;
    }
  }
  kavprt(4, "Unrecognised X.509 tag\n");
  kav_dumpv(c);
}
