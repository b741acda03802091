// ONC RPC over UDP and TCP (record marks): call and reply headers, credentials,
// and the parameters and results of portmapper/rpcbind, NFS v2/v3 and MOUNT
// through a type-driven XDR printer. Replies carry no program number, so
// calls are remembered by transaction id in a small open-addressing cache.
// Every count and length in a message is hostile: each is compared, as an
// unsigned value, with the octets actually captured before it is used.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "panrpcber.h"
#include "pansupp.h"
#include "tova.h"

namespace {

// ---- procedure names ------------------------------------------------------------

const char *const k_pmap2[] = {"Null", "Set", "Unset", "GetPort", "Dump", "Callit"};
const char *const k_pmap3[] = {"Null", "Set", "Unset", "GetAddr", "Dump", "Callit", "GetTime", "Uaddr2Taddr",
                               "Taddr2Uaddr"};
const char *const k_pmap4[] = {"Null",        "Set",         "Unset",       "GetAddr",  "Dump",
                               "Bcast",       "GetTime",     "Uaddr2Taddr", "Taddr2Uaddr", "GetVersAddr",
                               "Indirect",    "GetAddrList", "GetStat"};
const char *const k_rstat[] = {"Null", "Stats", "HaveDisk"};
const char *const k_nfs2[] = {"Null",   "GetAttr", "SetAttr", "Root",    "Lookup", "ReadLink",
                              "Read",   "WriteCache", "Write", "Create", "Remove", "Rename",
                              "Link",   "SymLink", "MkDir",   "RmDir",   "ReadDir", "FS-Stat"};
const char *const k_nfs3[] = {"Null",   "GetAttr", "SetAttr", "Lookup",  "Access",      "ReadLink", "Read",    "Write",
                              "Create", "MkDir",   "SymLink", "MkNod",   "Remove",      "RmDir",    "Rename",  "Link",
                              "ReadDir", "ReadDirPlus", "FS-Stat", "FS-Info", "PathConf", "Commit"};
const char *const k_nis[] = {"Null", "Domain", "Domain-NonAck", "Match",  "First", "Next",
                             "XFR",  "Clear",  "All",           "Master", "Order", "MapList"};
const char *const k_mount13[] = {"Null", "Mount", "Dump", "UnMount", "UnMountAll", "Export"};
const char *const k_mount2[] = {"Null", "Mount", "Dump", "UnMount", "UnMountAll", "Export", "ExportAll", "PathConf"};
const char *const k_ypbind[] = {"Null", "Domain", "SetDom"};
const char *const k_rex[] = {"Null", "Start", "Wait", "Modes", "Winch", "Signal"};
#define NLM_V1                                                                                                   \
  "Null", "Test", "Lock", "Cancel", "Unlock", "Granted", "TestMsg", "LockMsg", "CancelMsg", "UnLockMsg",         \
      "GrantedMsg", "TestRes", "LockRes", "CancelRes", "UnLockRes", "GrantedRes"
#define ILL "_illegal_"
const char *const k_nlm1[] = {NLM_V1};
const char *const k_nlm3[] = {"Null", ILL, ILL, ILL, ILL, ILL, ILL, ILL, ILL, ILL, ILL, ILL,
                              ILL,    ILL, ILL, ILL, ILL, ILL, ILL, ILL, "Share", "UnShare", "NM-Lock", "FreeAll"};
const char *const k_nlm4[] = {NLM_V1, ILL, ILL, ILL, ILL, "Share", "UnShare", "NM-Lock", "FreeAll"};
const char *const k_bootparam[] = {"Null", "who-am-i", "GetFile"};
const char *const k_keyserv1[] = {"Null", "Set", "Encrypt", "Decrypt", "Gen", "GetCred"};
const char *const k_keyserv2[] = {"Null", "Set", "Encrypt", "Decrypt", "Gen", "GetCred", "Encrypt-PK", "Decrypt-PK",
                                  "NetPut", "NetGet", "GetConv"};
const char *const k_nisplus[] = {"Null",     "Lookup",    "Add",     "Modify",   "Remove",   "IB-List", "IB-Add",
                                 "IB-Modify", "IB-Remove", "IB-First", "IB-Next", ILL,       "FindDirectory", ILL,
                                 "Status",   "DumpLog",   "Dump",    "Callback", "CpTime",   "CheckPoint", "Ping",
                                 "ServState", "MkDir",    "RmDir",   "UpdKeys"};
const char *const k_nispcache[] = {"Null", "Add", "Remove", "Read-ColdStart", "RefreshEntry"};
const char *const k_nispcb[] = {"Null", "Receive", "Finish", "Error"};

struct proctab {
  unsigned prog;
  int vers;
  const char *const *names;
  int n;
};
#define PT(p, v, t) {p, v, t, int(sizeof(t) / sizeof(t[0]))}
const proctab k_procs[] = {
    PT(100000, 2, k_pmap2),     PT(100000, 3, k_pmap3),     PT(100000, 4, k_pmap4),   PT(100001, 3, k_rstat),
    PT(100001, 4, k_rstat),     PT(100003, 2, k_nfs2),      PT(100003, 3, k_nfs3),    PT(100004, 2, k_nis),
    PT(100005, 1, k_mount13),   PT(100005, 2, k_mount2),    PT(100005, 3, k_mount13), PT(100007, 2, k_ypbind),
    PT(100017, 1, k_rex),       PT(100021, 1, k_nlm1),      PT(100021, 3, k_nlm3),    PT(100021, 4, k_nlm4),
    PT(100026, 1, k_bootparam), PT(100029, 1, k_keyserv1),  PT(100029, 2, k_keyserv2), PT(100300, 3, k_nisplus),
    PT(100301, 1, k_nispcache), PT(100302, 1, k_nispcb),
};

const char *const k_denials[8] = {"Auth OK",           "Bad Credential",   "Rejected Credential",
                                  "Bad Verifier",      "Rejected Verifier", "Weak Auth Scheme",
                                  "Bogus Response Verifier", "Unknown"};

const char *nfsstat2txt(uint32_t s) {
  static const struct {
    uint32_t v;
    const char *t;
  } k[] = {{0, "OK"},
           {1, "ERR-PERM"},
           {2, "ERR-NOENT"},
           {5, "ERR-IO"},
           {6, "ERR-NXIO"},
           {13, "ERR-ACCESS"},
           {17, "ERR-EXIST"},
           {18, "ERR-XDEVLINK"},
           {19, "ERR-NODEV"},
           {20, "ERR-NOTDIR"},
           {21, "ERR-ISDIR"},
           {22, "ERR-BADARG"},
           {27, "ERR-FILETOOBIG"},
           {28, "ERR-NOSPC"},
           {30, "ERR-ROFS"},
           {31, "ERR-MLINK"},
           {63, "ERR-NAMETOOLONG"},
           {66, "ERR-NOTEMPTY"},
           {69, "ERR-DISKQUOTA"},
           {70, "ERR-STALEHANDLE"},
           {71, "ERR-REMOTE"},
           {99, "ERR-WFLUSH"},
           {10001, "ERR-BADHANDLE"},
           {10002, "ERR-NOTSYNC"},
           {10003, "ERR-BADCOOKIE"},
           {10004, "ERR-OPNOTSUPP"},
           {10005, "ERR-TOOSMALL"},
           {10006, "ERR-SERVERFAULT"},
           {10007, "ERR-BADTYPE"},
           {10008, "ERR-JUKEBOX"}};
  for (const auto &e : k)
    if (e.v == s) return e.t;
  static char buf[16];
  snprintf(buf, sizeof buf, "<%u>", s);
  return buf;
}

const char *plural(long n) { return n == 1 ? "" : "s"; }

// XDR pads every opaque to a multiple of 4; the sum is kept wide so that a
// hostile length near 2^32 cannot wrap.
uint64_t pad4(uint32_t n) { return (uint64_t(n) + 3) & ~uint64_t(3); }

// The octets from off on, empty when off lies beyond the view.
kav_view after(const kav_view &v, uint64_t off) { return off >= uint64_t(v.len) ? kav_view() : v.from(int(off)); }

// ---- request cache ------------------------------------------------------------------

struct req_entry {
  time_t when;  // 0: free
  uint32_t xid, prog, vers, proc;
};
req_entry *req_cache = nullptr;
int dim_req_cache = -1;  // -1: not settled yet
constexpr time_t kReqLife = 301;

// ---- XDR printer ------------------------------------------------------------------------

// Set when an item ran out of octets: the members after it in a compound are
// not printed, so one missing field gives one truncation line.
bool g_xdr_trunc = false;

int xdr(const char *P, int type, kav_view d, const char *label);

int xtrunc(kav_view d) {
  kavprt(4, "\tXDR parameters truncated - dumping final %d byte%s\n", d.len, plural(d.len));
  if (d.len) kav_dumpv(d);
  g_xdr_trunc = true;
  return d.len;
}

// One member of a compound item, given what the members before it left.
void member(const char *P, int type, kav_view d, int &off, const char *label = nullptr) {
  if (g_xdr_trunc) return;
  off += xdr(P, type, after(d, uint32_t(off)), label);
}

int xdr_list(const char *P, kav_view d, int itemtype, const char *itemlabel) {
  int off = 0, k = 0;
  while (!g_xdr_trunc) {
    kav_view r = after(d, uint32_t(off));
    if (r.len < 4) {
      off += xtrunc(r);
      break;
    }
    uint32_t more = r.u32(0);
    off += 4;
    if (!more) break;
    kavprt(4, "+%s:\t\t%s %d follows:\n", P, itemlabel, ++k);
    member(P, itemtype, d, off);
  }
  return off;
}

int xdr_time(const char *P, kav_view d, const char *label, bool micro) {
  if (micro && d.len < 8) return xtrunc(d);
  uint32_t secs = d.u32(0);
  char suffix[16] = "";
  if (micro) snprintf(suffix, sizeof suffix, ".%06ld", long(d.u32(4)));
  time_t t = time_t(secs);
  struct tm tmv;
  memset(&tmv, 0, sizeof tmv);
  gmtime_r(&t, &tmv);
  kavprt(4, "+%s: %s = %d (%02d.%02d.%04d, %02d:%02d:%02d%s GMT)\n", P, label, int(secs), tmv.tm_mday, tmv.tm_mon + 1,
         tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, suffix);
  return micro ? 8 : 4;
}

int xdr(const char *P, int type, kav_view d, const char *label) {
  if (!label) label = "<NULLDESC>";
  if (d.len < 4) return xtrunc(d);
  int off = 0;
  switch (type) {
    case 1: {
      uint32_t v = d.u32(0);
      kavprt(4, "+%s: %s = %d (0x%08x = 0%o)\n", P, label, int(v), v, v);
      return 4;
    }
    case 2: {
      uint32_t v = d.u32(0);
      kavprt(4, "+%s: %s = %u (0x%08x = 0%o)\n", P, label, v, v, v);
      return 4;
    }
    case 3: {
      uint32_t n = d.u32(0);
      kav_view s;
      if (!d.exact(4, n, s)) return xtrunc(d);
      kavprt(4, "+%s: %s = %.*s (%d byte%s)\n", P, label, s.len, (const char *)s.base, s.len, plural(s.len));
      uint64_t used = 4 + pad4(n);
      return used > uint64_t(d.len) ? d.len : int(used);
    }
    case 4: {
      uint32_t v = d.u32(0);
      kavprt(4, "+%s: %s = %d (%s)\n", P, label, int(v), v ? "Yes" : "No");
      return 4;
    }
    case 5:
      return xdr_time(P, d, label, false);
    case 6:
      return xdr_time(P, d, label, true);
    case 7:
      return xdr(P, 2, d, "maxlen");
    case 8: {
      if (d.len < 16) return xtrunc(d);
      uint32_t prog = d.u32(0), vers = d.u32(4), prot = d.u32(8), port = d.u32(12);
      kavprt(4, "+%s: Prog = %s V%d, Protocol = %s, Port = %s\n", P, rpcprog2nam(prog), int(vers),
             kav_l4proto2nam(prot), kav_l5proto2nam(int(port), int(prot)));
      return 16;
    }
    case 9: {
      if (d.len < 12) return xtrunc(d);
      uint32_t prog = d.u32(0), vers = d.u32(4), proc = d.u32(8);
      kavprt(4, "+%s: Prog = %s V%d, Procedure = %s\n", P, rpcprog2nam(prog), int(vers),
             proc2nam(int(prog), int(vers), int(proc)));
      return 12;
    }
    case 10:
      kavprt(4, "+%s: Port = %u\n", P, d.u32(0));
      return 4;
    case 11:
      if (d.len < 8) return xtrunc(d);
      kavprt(4, "+%s: Prog = %s V%d\n", P, rpcprog2nam(d.u32(0)), int(d.u32(4)));
      off = 8;
      member(P, 3, d, off, "Network ID");
      member(P, 3, d, off, "Universal Address");
      member(P, 3, d, off, "Service Owner");
      return off;
    case 12:
      return xdr(P, 3, d, "Universal Address");
    case 13: {
      member(P, 3, d, off, "Merged Address");
      member(P, 3, d, off, "Network ID");
      if (g_xdr_trunc) return off;
      kav_view r = after(d, uint32_t(off));
      if (r.len < 4) return off + xtrunc(r);
      uint32_t sem = r.u32(0);
      static const char *const sems[] = {"connectionless", "connection-oriented",
                                         "connection-oriented with graceful close", "raw transport"};
      kavprt(4, "+%s: Semantics = %d (%s)\n", P, int(sem), sem >= 1 && sem <= 4 ? sems[sem - 1] : "UNKNOWN");
      off += 4;
      member(P, 3, d, off, "Protocol Family");
      member(P, 3, d, off, "Protocol Name");
      return off;
    }
    case 14:
      kavprt(4, "+%s:\t\tSTATS BLOCK %d FOLLOWS:\n", P, 1);
      member(P, 15, d, off);
      if (g_xdr_trunc) return off;
      if (off >= d.len) return off + xtrunc(after(d, uint32_t(off)));
      kavprt(4, "+%s:\t\tSTATS BLOCK %d FOLLOWS:\n", P, 3);
      member(P, 15, d, off);
      return off;
    case 15: {
      char lbl[16];
      for (int i = 0; i < 13 && !g_xdr_trunc; i++) {
        snprintf(lbl, sizeof lbl, "info[%d]", i);
        member(P, 1, d, off, lbl);
      }
      member(P, 1, d, off, "setinfo");
      member(P, 1, d, off, "unsetinfo");
      member(P, 21, d, off);
      member(P, 22, d, off);
      return off;
    }
    case 16:
      if (d.len < 20) return xtrunc(d);
      kavprt(4, "+%s: Prog = %s V%d", P, rpcprog2nam(d.u32(0)), int(d.u32(4)));
      kavprt(4, "\n+%s: Success = %d, Failure = %d", P, int(d.u32(8)), int(d.u32(12)));
      kavprt(4, "\n");
      off = 16;
      member(P, 3, d, off, "Network ID");
      return off;
    case 17: {
      // Six words come before the network id: the least that can be read.
      if (d.len < 28) return xtrunc(d);
      uint32_t prog = d.u32(0), vers = d.u32(4), proc = d.u32(8);
      kavprt(4, "+%s: Prog = %s V%d", P, rpcprog2nam(prog), int(vers));
      kavprt(4, ", Procedure = %s", proc2nam(int(prog), int(vers), int(proc)));
      kavprt(4, "\n+%s: Success = %d, Failure = %d", P, int(d.u32(12)), int(d.u32(16)));
      kavprt(4, ", Indirect = %d", int(d.u32(20)));
      kavprt(4, "\n");
      off = 24;
      member(P, 3, d, off, "Network ID");
      return off;
    }
    case 18: return xdr_list(P, d, 8, "Mapping");
    case 19: return xdr_list(P, d, 11, "Mapping");
    case 20: return xdr_list(P, d, 13, "Entry");
    case 21: return xdr_list(P, d, 16, "GetPort/GetAddr stats block");
    case 22: return xdr_list(P, d, 17, "RmtCall stats block");
    case 43: return xdr_list(P, d, 46, "Mount entry");
    case 44: return xdr_list(P, d, 47, "Export-list entry");
    case 23:
      if (d.len < 32) return xtrunc(d);
      kavprt(4, "+%s: %d-byte file handle follows:\n", P, 32);
      kav_dumpv(d.first(32));
      return 32;
    case 24:
      member(P, 23, d, off);
      member(P, 39, d, off);
      return off;
    case 25:
      member(P, 23, d, off);
      member(P, 3, d, off, label);
      return off;
    case 26:
    case 27: {
      member(P, 23, d, off);
      if (g_xdr_trunc) return off;
      kav_view r = after(d, uint32_t(off));
      if (r.len < 12) return off + xtrunc(r);
      if (type == 26) {
        kavprt(4, "+%s: Offset = %d, Count = %d\n", P, int(r.u32(0)), int(r.u32(4)));
        kavprt(4, "+%s: Obsolete args: TotalCount = %d\n", P, int(r.u32(8)));
      } else {
        kavprt(4, "+%s: Offset = %d\n", P, int(r.u32(4)));
        kavprt(4, "+%s: Obsolete args: BeginOffset = %d, TotalCount = %d\n", P, int(r.u32(0)), int(r.u32(8)));
      }
      return off + 12;
    }
    case 28:
      member(P, 25, d, off, "Filename");
      member(P, 39, d, off);
      return off;
    case 29:
      member(P, 25, d, off, "From Filename");
      member(P, 25, d, off, "To Filename");
      return off;
    case 30:
      member(P, 23, d, off);
      member(P, 25, d, off, "To Filename");
      return off;
    case 31:
      member(P, 25, d, off, "From Filename");
      member(P, 3, d, off, "To Pathname");
      member(P, 39, d, off);
      return off;
    case 32:
    case 35:
      member(P, 36, d, off);
      member(P, 40, d, off);
      return off;
    case 33:
      member(P, 36, d, off);
      member(P, 23, d, off);
      member(P, 40, d, off);
      return off;
    case 34:
      member(P, 36, d, off);
      member(P, 3, d, off, "Pathname");
      return off;
    case 36: {
      uint32_t s = d.u32(0);
      kavprt(4, "+%s: Status = %d (%s)\n", P, int(s), nfsstat2txt(s));
      if (s) kavprt(4, "\tNB: Spurious XDR-truncation warnings may follow this error code\n");
      return 4;
    }
    case 37:
      return xdr(P, 36, d, label);
    case 38:
      member(P, 36, d, off);
      member(P, 2, d, off, "tsize (optimum transfer size)");
      member(P, 2, d, off, "bsize (filesystem block size)");
      member(P, 2, d, off, "blocks (no. of filesystem blocks)");
      member(P, 2, d, off, "bfree (free filesystem blocks)");
      member(P, 2, d, off, "bavail (available filesystem blocks)");
      return off;
    case 39:
      member(P, 2, d, off, "file-mode");
      member(P, 2, d, off, "UID");
      member(P, 2, d, off, "GID");
      member(P, 2, d, off, "file-size");
      member(P, 6, d, off, "atime (last access)");
      member(P, 6, d, off, "mtime (last modification)");
      return off;
    case 40: {
      static const char *const ftypes[] = {"non-file", "regular file", "directory", "block device", "character device",
                                           "symbolic link"};
      uint32_t ft = d.u32(0);
      kavprt(4, "+%s: ftype = %d (%s)\n", P, int(ft), ft < 6 ? ftypes[ft] : "<UNKNOWN>");
      off = 4;
      static const char *const attrs[] = {"file-mode", "nlink (no. of hard links)", "UID", "GID", "file-size",
                                          "block-size", "rdev (device number)", "blocks (size in blocks)",
                                          "filesystem ID", "file ID"};
      for (const char *a : attrs) member(P, 2, d, off, a);
      member(P, 6, d, off, "atime (last access)");
      member(P, 6, d, off, "mtime (last modification)");
      member(P, 6, d, off, "ctime (last status modification)");
      return off;
    }
    case 41: {
      uint32_t n = d.u32(0);
      kav_view fh;
      if (!d.exact(4, n, fh)) return xtrunc(d);
      kavprt(4, "+%s: %d-byte file handle follows:\n", P, fh.len);
      kav_dumpv(fh);
      uint64_t used = 4 + pad4(n);
      return used > uint64_t(d.len) ? d.len : int(used);
    }
    case 42:
      member(P, 36, d, off);
      member(P, 23, d, off);
      return off;
    case 46:
      member(P, 3, d, off, "Hostname");
      member(P, 3, d, off, "Directory");
      return off;
    case 47:
      member(P, 3, d, off, "Filesystem");
      member(P, 45, d, off);
      return off;
    case 49: {
      member(P, 36, d, off);
      member(P, 41, d, off);
      if (g_xdr_trunc) return off;
      kav_view r = after(d, uint32_t(off));
      if (r.len < 4) return off + xtrunc(r);
      uint32_t n = r.u32(0);
      off += 4;
      for (uint32_t i = 0; i < n && !g_xdr_trunc; i++) {
        kav_view rest = after(d, uint32_t(off));
        if (rest.len < 4) return off + xtrunc(rest);
        member(P, 2, d, off, "Auth Flavour");
      }
      return off;
    }
    default:  // 45, the group list of an export entry, among them
      kavprt(-1, "\tETRAP! Missing case for XDR tag=%d\n", type);
      return xtrunc(d);
  }
}

// ---- calls and replies ----------------------------------------------------------------------

// Parameters of an NFS version 3 call that carry a path name or an offset:
// printed, then the whole block is dumped (result 0).
void nfs3_call(const char *P, int proc, kav_view b) {
  kav_cursor c(b);
  auto skip_fh = [&] {
    uint32_t n = c.u32();
    if (c.ok() && pad4(n) > uint64_t(c.remaining())) c.trunc = true;
    c.skip(uint32_t(pad4(n) & 0xFFFFFFFFu));
    return c.ok();
  };
  auto path = [&](const char *what) {
    uint32_t n = c.u32();
    kav_view s = c.take(n);
    if (!c.ok()) return false;
    kavprt(4, "+%s: %sPathname is '%.*s' (%d bytes)\n", P, what, s.len, (const char *)s.base, int(n));
    c.skip(uint32_t(pad4(n) - n) <= uint32_t(c.remaining()) ? uint32_t(pad4(n) - n) : uint32_t(c.remaining()));
    return true;
  };
  switch (proc) {
    case 3: case 8: case 9: case 10: case 11: case 12: case 13:
      if (skip_fh()) path("");
      break;
    case 6: case 7: case 21: {
      if (!skip_fh()) break;
      uint32_t hi = c.u32(), lo = c.u32(), cnt = c.u32();
      if (!c.ok()) break;
      kavprt(4, "+%s: %d bytes at offset64=%d:%d", P, int(cnt), int(hi), int(lo));
      if (proc == 7) {
        uint32_t stable = c.u32(), dlen = c.u32();
        if (c.ok()) kavprt(4, ", Stable = %d (data=%d)\n", int(stable), int(dlen));
      }
      kavprt(4, "\n");
      break;
    }
    case 14:
      if (skip_fh() && path("From ") && skip_fh()) path("To ");
      break;
    case 15:
      if (skip_fh() && skip_fh()) path("");
      break;
    default:
      break;
  }
}

// Prints a call's parameters; the octets accounted for, or -1 without a printer.
int call_params(const char *P, uint32_t prog, uint32_t vers, uint32_t proc, kav_view b) {
  int type = 0;
  const char *label = nullptr;
  if (prog == 100003 && vers == 2) {
    switch (proc) {
      case 1: case 5: case 17: type = 23; break;
      case 2: type = 24; break;
      case 4: case 10: case 15: type = 25; label = "Filename"; break;
      case 6: type = 26; break;
      case 8: type = 27; break;
      case 9: case 14: type = 28; break;
      case 11: type = 29; break;
      case 12: type = 30; break;
      case 13: type = 31; break;
      default: break;
    }
  } else if (prog == 100003 && vers == 3) {
    switch (proc) {
      case 3: case 6: case 7: case 8: case 9: case 10: case 11: case 12: case 13: case 14: case 15: case 21:
        nfs3_call(P, int(proc), b);
        return 0;
      default: break;
    }
  } else if (prog == 100005) {
    if (proc == 1 || proc == 3) {
      type = 3;
      label = "Directory Pathname";
    }
  } else if (prog == 100000 && vers == 2) {
    if (proc >= 1 && proc <= 3) type = 8;
    if (proc == 5) type = 9;
  } else if (prog == 100000 && (vers == 3 || vers == 4)) {
    switch (proc) {
      case 1: case 2: case 3: case 9: case 11: type = 11; break;
      case 5: case 10: type = 9; break;
      case 7: type = 3; label = "Universal Address"; break;
      case 8: type = 7; label = "Transport Address"; break;
      default: break;
    }
  }
  if (!type) return -1;
  return print_xdr(P, type, b, label);
}

// The result type of a reply to (prog, vers, proc), 0 when there is none.
int result_type(uint32_t prog, uint32_t vers, uint32_t proc, const char **label) {
  *label = nullptr;
  if (prog == 100003 && vers == 2) {
    switch (proc) {
      case 1: case 2: case 8: return 32;
      case 4: case 9: case 14: return 33;
      case 5: return 34;
      case 6: return 35;
      case 16: return 37;
      case 17: return 38;
      default: return 36;
    }
  }
  if (prog == 100003 && vers == 3) return 36;
  if (prog == 100005 && (vers >= 1 && vers <= 3)) {
    if (proc == 1) return vers == 3 ? 49 : 42;
    if (proc == 2) return 43;
    if (proc == 5) return 44;
    return 0;
  }
  if (prog == 100000 && vers == 2) {
    switch (proc) {
      case 1: case 2: *label = "Result"; return 4;
      case 3: *label = "Port"; return 2;
      case 4: return 18;
      case 5: return 10;
      default: return 0;
    }
  }
  if (prog == 100000 && (vers == 3 || vers == 4)) {
    switch (proc) {
      case 1: case 2: *label = "Result"; return 4;
      case 3: case 8: case 9: *label = "Universal Address"; return 3;
      case 4: return 19;
      case 5: case 10: return 12;
      case 6: *label = "Time"; return 5;
      case 7: *label = "Time"; return 7;
      case 11: return 20;
      case 12: return 14;
      default: return 0;
    }
  }
  return 0;
}

void trunc_msg(kav_view m, int from) {
  kav_view r = after(m, uint32_t(from < 0 ? 0 : from));
  kavprt(4, "\tTruncated/garbage message - dumping last %d byte%s\n", r.len, plural(r.len));
  kav_dumpv(r);
}

// Reports the octets a printer left unaccounted for in a parameter block.
void dump_unaccounted(kav_view b, int acc) {
  if (acc >= b.len) return;
  if (acc <= 0) {
    kav_dumpv(b);
    return;
  }
  kavprt(4, "\tDumping last %d byte%s\n", b.len - acc, plural(b.len - acc));
  kav_dumpv(b.from(acc));
}

void rpc_call(kav_view m, uint32_t xid) {
  uint32_t prog = m.u32(12), vers = m.u32(16), proc = m.u32(20);
  if (kav_vblvl != 4) {
    if (m.len < 24)
      kavprt(1, "RPC C=%u, truncated", xid);
    else
      kavprt(1, "RPC C=%u, %s.%d.%s", xid, rpcprog2nam(prog), int(vers), proc2nam(int(prog), int(vers), int(proc)));
    return;
  }
  if (m.len < 32) {  // not even the credential's header
    trunc_msg(m, 8);
    return;
  }
  int slot = hash_req_cache(xid, 0);
  if (slot >= 0)
    req_cache[slot] = req_entry{time(nullptr), xid, prog, vers, proc};
  else
    kavprt(4, "WARNING: RPC cache overflow\n");
  char P[84];
  snprintf(P, sizeof P, "rpc.%s", rpcprog2nam(prog));
  uint32_t cflav = m.u32(24), clen = m.u32(28);
  kavprt(4, "+%s: SUN-RPC Version = %d\n", P, int(m.u32(8)));
  kavprt(4, "+%s: RPC Call, XID=%u\n", P, xid);
  kavprt(4, "+%s: Program = %s (%u), Version = %d\n", P, rpcprog2nam(prog), prog, int(vers));
  kavprt(4, "+%s: Procedure = %s (%d)\n", P, proc2nam(int(prog), int(vers), int(proc)), int(proc));
  kavprt(4, "+%s: Credentials flavour = %s (%d bytes)\n", P, authtyp2txt(cflav), int(clen));
  kav_view cred;
  if (!m.exact(32, clen, cred)) {
    trunc_msg(m, 32);
    return;
  }
  parse_auth(int(cflav), cred);
  uint64_t voff = 32 + pad4(clen);
  if (voff + 8 > uint64_t(m.len)) {
    trunc_msg(m, int(voff > uint64_t(m.len) ? m.len : voff));
    return;
  }
  uint32_t vflav = m.u32(int(voff)), vlen = m.u32(int(voff) + 4);
  kavprt(4, "+%s: Verifier flavour = %s (%d bytes)\n", P, authtyp2txt(vflav), int(vlen));
  kav_view verf;
  if (!m.exact(int(voff) + 8, vlen, verf)) {
    trunc_msg(m, int(voff) + 8);
    return;
  }
  parse_auth(int(vflav), verf);
  uint64_t poff = voff + 8 + pad4(vlen);
  if (poff > uint64_t(m.len)) poff = uint64_t(m.len);
  kav_view b = m.from(int(poff));
  kavprt(4, "+%s: --------------- %d-byte parameter block, at offset %d\n", P, b.len, int(poff));
  int acc = call_params(P, prog, vers, proc, b);
  if (acc < 0)
    kav_dumpv(b);
  else
    dump_unaccounted(b, acc);
}

void rpc_reply(kav_view m, uint32_t xid) {
  uint32_t rstat = m.u32(8);
  if (kav_vblvl != 4) {
    int s = -99;
    if (rstat != 0) {
      uint32_t v;
      if (m.get32(12, v)) s = int(v);
    } else if (m.len >= 20) {
      uint64_t soff = 20 + pad4(m.u32(16));
      if (soff + 4 <= uint64_t(m.len)) s = int(m.u32(int(soff)));
    }
    kavprt(1, "RPC R=%u, status=%d,%d", xid, int(rstat), s);
    return;
  }
  uint32_t prog = 0, vers = 0, proc = 0;
  char P[84], desc[160];
  int slot = hash_req_cache(xid, 1);
  if (slot >= 0) {
    prog = req_cache[slot].prog;
    vers = req_cache[slot].vers;
    proc = req_cache[slot].proc;
    req_cache[slot].when = 0;
    snprintf(P, sizeof P, "rpc.%s", rpcprog2nam(prog));
    snprintf(desc, sizeof desc, "%s.%d.%s", rpcprog2nam(prog), int(vers), proc2nam(int(prog), int(vers), int(proc)));
  } else {
    kav_strlcpy(P, sizeof P, "rpc.response");
    kav_strlcpy(desc, sizeof desc, "unknown request");
  }
  kavprt(4, "+%s: RPC Reply, XID=%u (%s)\n", P, xid, desc);
  kavprt(4, "+%s: Request Status = %s\n", P, rstat ? "Denied" : "Accepted");
  uint64_t roff;
  if (rstat) {
    // A denied reply carries no verifier: the reject status follows at once.
    uint32_t s;
    if (!m.get32(12, s)) {
      trunc_msg(m, 12);
      return;
    }
    if (s == 0) {
      kavprt(4, "+%s: RPC Status = Unsupported SUN-RPC version <%u>\n", P, s);
      uint32_t lo, hi;
      if (!m.get32(16, lo) || !m.get32(20, hi)) {
        trunc_msg(m, 16);
        return;
      }
      kavprt(4, "\tSupported versions are %d to %d incl\n", int(lo), int(hi));
      roff = 24;
    } else if (s == 1) {
      kavprt(4, "+%s: RPC Status = Authentication failed <%u>\n", P, s);
      uint32_t why;
      if (!m.get32(16, why)) {
        trunc_msg(m, 16);
        return;
      }
      if (why < 8)
        kavprt(4, "\tReason = %s\n", k_denials[why]);
      else
        kavprt(4, "\tReason = %d\n", int(why));
      roff = 20;
    } else {
      kavprt(4, "+%s: RPC Status = <%u>\n", P, s);
      roff = 16;
    }
  } else {
    if (m.len < 20) {
      trunc_msg(m, 12);
      return;
    }
    uint32_t vflav = m.u32(12), vlen = m.u32(16);
    kavprt(4, "+%s: Verifier flavour = %s (%d bytes)\n", P, authtyp2txt(vflav), int(vlen));
    kav_view verf;
    if (!m.exact(20, vlen, verf)) {
      trunc_msg(m, 20);
      return;
    }
    parse_auth(int(vflav), verf);
    uint64_t soff = 20 + pad4(vlen);
    if (soff + 4 > uint64_t(m.len)) {
      trunc_msg(m, int(soff > uint64_t(m.len) ? m.len : soff));
      return;
    }
    uint32_t s = m.u32(int(soff));
    static const char *const acc[] = {"Success <%u>", "Fail - Unregistered program <%u>",
                                      "Fail - Unsupported version <%u>", "Fail - No such procedure <%u>",
                                      "Fail - Invalid parameter syntax <%u>", "Fail - System Error <%u>"};
    char st[64];
    snprintf(st, sizeof st, s < 6 ? acc[s] : "<%u>", s);
    kavprt(4, "+%s: RPC Status = %s\n", P, st);
    roff = soff + 4;
    if (s == 2) {
      uint32_t lo, hi;
      if (!m.get32(int(roff), lo) || !m.get32(int(roff) + 4, hi)) {
        trunc_msg(m, int(roff));
        return;
      }
      kavprt(4, "\tSupported versions are %d to %d incl\n", int(lo), int(hi));
      roff += 8;
    }
  }
  kav_view b = after(m, roff);
  kavprt(4, "+%s: --------------- %d-byte parameter block, at offset %d\n", P, b.len,
         int(roff > uint64_t(m.len) ? m.len : roff));
  const char *label;
  int type = result_type(prog, vers, proc, &label);
  int acc = 0;
  if (type) acc = print_xdr(P, type, b, label);
  if (acc == 0 && !b.empty()) acc = print_xdr(P, 36, b, nullptr);
  dump_unaccounted(b, acc);
}

void rpc_message(kav_view m) {
  uint32_t xid, type;
  if (!m.get32(0, xid) || !m.get32(4, type)) {
    kavprt(1, "RPC truncated");
    trunc_msg(m, 0);
    return;
  }
  if (type == 0)
    rpc_call(m, xid);
  else if (type == 1)
    rpc_reply(m, xid);
  else {
    kavprt(1, "RPC X=%u, type=%u", xid, type);
    kavprt(4, "+rpc: XID=%u, unknown message type %u\n", xid, type);
    trunc_msg(m, 8);
  }
}

}  // namespace

const char *authtyp2txt(unsigned flavour) {
  static char buf[33];
  static const char *const k[] = {"None <%u>", "Unix <%u>", "Short <%u>", "DES <%u>", "Kerberos <%u>"};
  snprintf(buf, sizeof buf, flavour < 5 ? k[flavour] : "<%u>", flavour);
  return buf;
}

const char *proc2nam(int prog, int vers, int proc) {
  for (const proctab &t : k_procs)
    if (t.prog == unsigned(prog) && t.vers == vers) {
      if (proc >= 0 && proc < t.n) return t.names[proc];
      break;
    }
  static char buf[33];
  snprintf(buf, sizeof buf, "%u", unsigned(proc));
  return buf;
}

void parse_auth(int flavour, kav_view body) {
  if (flavour == 0 || body.empty()) return;
  if (flavour != 1) {
    kav_dumpv(body);
    return;
  }
  kav_cursor c(body);
  uint32_t stamp = c.u32(), nlen = c.u32();
  kav_view name = c.take(nlen);
  c.skip(uint32_t(pad4(nlen) - nlen));
  uint32_t uid = c.u32(), gid = c.u32(), ngroups = c.u32();
  if (!c.ok() || uint64_t(ngroups) * 4 > uint64_t(c.remaining())) {
    kavprt(4, "\tCredentials appear truncated, dumping them\n");
    kav_dumpv(body);
    return;
  }
  kavprt(4, "\tStamp = %d\n", int(stamp));
  kavprt(4, "\t%d-byte machine name = %.*s\n", int(nlen), name.len, (const char *)name.base);
  kavprt(4, "\tUID = %d, GID = %d\n", int(uid), int(gid));
  kavprt(4, "\t%d secondary group%s:", int(ngroups), plural(ngroups));
  for (uint32_t i = 0; i < ngroups; i++) kavprt(4, "%s%d", i % 10 == 0 ? "\n\t\t" : ", ", int(c.u32()));
  kavprt(4, "\n");
}

int hash_req_cache(uint32_t xid, int find) {
  if (dim_req_cache < 0) {
    const char *v = getenv("KAV_RPCREQ_CACHE");
    long n = v ? strtol(v, nullptr, 10) : 503;
    if (n < 0) n = 0;
    if (n > 1000000) n = 1000000;  // far beyond any capture's outstanding calls
    dim_req_cache = int(n);
    if (dim_req_cache > 0) {
      size_t bytes = size_t(dim_req_cache) * sizeof(req_entry);
      req_cache = (req_entry *)calloc(size_t(dim_req_cache), sizeof(req_entry));
      if (!req_cache) {
        tvl_msglog("hash-req_cache: malloc(%d) failed for RPC cache\n", int(bytes));
        dim_req_cache = 0;
      }
    }
  }
  if (dim_req_cache <= 0) return -1;
  time_t now = time(nullptr);
  uint64_t n = uint64_t(dim_req_cache);
  uint64_t slot = xid % n, step = 1;
  for (uint64_t probe = 0; probe < (n + 1) / 2; probe++) {
    req_entry &e = req_cache[slot];
    bool live = e.when != 0 && now - e.when < kReqLife;
    if (find) {
      if (live && e.xid == xid) return int(slot);
    } else if (!live || e.xid == xid) {
      return int(slot);
    }
    slot = (slot + step) % n;
    step += 2;
  }
  return -1;
}

void kav_rpc_reset() {
  free(req_cache);
  req_cache = nullptr;
  dim_req_cache = -1;
}

int print_xdr(const char *prefix, int type, kav_view data, const char *label) {
  g_xdr_trunc = false;
  int n = xdr(prefix, type, data, label);
  g_xdr_trunc = false;
  return n;
}

void kav_panrpc(kav_view data, int l4proto) {
  if (l4proto != KAV_IPPROTO_TCP) {
    rpc_message(data);
    return;
  }
  int64_t rest = data.len;
  int off = 0, nfrag = 0;
  bool prev_last = true;
  while (rest > 0) {
    uint32_t mark;
    if (!data.get32(off, mark)) {
      kav_view r = data.from(off);
      kavprt(4, "%s\tRecord mark truncated - dumping %d byte%s\n", nfrag ? "\n" : "", r.len, plural(r.len));
      kav_dumpv(r);
      if (!nfrag) kavprt(1, "RPC truncated");
      return;
    }
    uint32_t flen = mark & 0x7FFFFFFFu;
    bool last = (mark & 0x80000000u) != 0;
    int avail = data.len - off - 4;
    int mlen = flen < uint32_t(avail) ? int(flen) : avail;
    kav_view msg = data.sub(off + 4, mlen);
    const char *nl = nfrag ? "\n" : "";
    if (!prev_last) {
      kavprt(4, "%s+%s: %d-byte RM fragment (%s of record%s)\n", nl, "rpc", int(flen),
             last ? "last fragment" : "middle fragment", " - cannot parse");
      kav_dumpv(msg);
      return;
    }
    kavprt(4, "%s+%s: %d-byte RM fragment (%s of record%s)\n", nl, "rpc", int(flen),
           last ? "only fragment" : "first fragment", "");
    if (nfrag) kavprt(1, ", ");
    rpc_message(msg);
    prev_last = last;
    rest -= 4 + int64_t(flen);
    off += 4 + mlen;
    nfrag++;
  }
}
