// Names of data-link provider types.
#include "tova.h"

const char *dlp_proto2nam(int type)
{
  static const char *const names[] = {"802.3 Ethernet", "Token Bus", "Token Ring", "802.6 MAN",
                                      "Ethernet", "HDLC", "Character-Synchronous",
                                      "IBM Channel-to-Channel", "FDDI", "Other"};
  static char other[51];
  if (type >= 0 && type <= 9)
    return names[type];
  if (type == 129)
    return "Raw IP";
  snprintf(other, sizeof other, "<%u>", static_cast<unsigned>(type));
  return other;
}
