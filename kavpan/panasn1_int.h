// Shared between the BER walker (panasn1.cpp) and the protocol schemas
// (panber_schemas.cpp); not for the other decoders.
#ifndef KAVPAN_PANASN1_INT_H
#define KAVPAN_PANASN1_INT_H

#include <cstdint>

#include "kavproto.h"
#include "panview.h"

enum { ASN1_UNIV = 0, ASN1_APPL = 1, ASN1_CTX = 2, ASN1_PRIV = 3 };
// Special states in a table's next and child columns (and of an item).
enum { ST_HOOK = -1, ST_NONE = -2, ST_NOSCHEMA = -3 };
enum { ASN1_SUMMARY = 1, ASN1_OIDTEXT = 2 };

// The codes (service ports) that choose the SNMP schema.
inline bool asn1_is_snmp(int code) { return code == KAV_PORT_SNMP || code == KAV_PORT_SNMPTRAP; }

struct asn1_state {
  int id, next, child;
  const char *name;
  const char *const *vnames;  // indexed by tag number; null entries have no name
  int nvnames;
  const char *mapname;
  int printas;  // universal tag for a Context-Specific primitive; 0 none, -1 unknown
  int flags;
};

struct asn1_item {
  int cls = 0, tag = 0;
  bool cons = false;
  int state = ST_NOSCHEMA;
  int depth = 0, index = 0;
  bool descend = false;      // decode a primitive's content as items
  int *parent_cur = nullptr; // the container's idea of this item's state
};

struct asn1_dec;

struct asn1_schema {
  const asn1_state *tab;
  int ntab;
  int (*child)(asn1_dec &, const asn1_item &);  // null: no child hook
  int (*next)(asn1_dec &, const asn1_item &);   // null: no next hook
  // Protocol adjustments of an item before it is named; may set a note.
  void (*adjust)(asn1_dec &, asn1_item &, kav_view content, const char **note);
};

struct asn1_dec {
  const asn1_schema *sch = nullptr;
  int layer = 0, code = 0;
  const char *label = "ASN.1";
  int version = -1;
  int privacy = 0;
  kav_view varname;  // content of the latest SNMP variable name
  bool stop = false; // the summary field was printed: the walk ends
};

const asn1_schema *asn1_schema_for(int layer, int code);

// Value additions of the schemas, called by the walker's value printer.
// Text after an integer value (without the "  -- "), or null for nothing.
const char *asn1_int_note(asn1_dec &d, const asn1_item &it, int64_t v, bool small);
// Lines after an Octet String's own line.
void asn1_octets_extra(asn1_dec &d, const asn1_item &it, kav_view content);
// An Application-class primitive at layer 5 of a schema protocol.
void asn1_app_value(asn1_dec &d, const asn1_item &it, kav_view content);

// Walker entry points the schemas use for values they print the universal way.
void asn1_print_universal(asn1_dec &d, const asn1_item &it, int tag, kav_view content);

#endif
