// The peer tools as oracles: what they read in a capture file.
#ifndef VELMORA_TESTSUPPORT_ORACLE_H
#define VELMORA_TESTSUPPORT_ORACLE_H

#include <string>
#include <vector>

namespace vts {

// tshark's fields of every frame of a capture file: one row a frame, its
// first column the frame number, then one column per field (empty when
// absent; several occurrences joined as `options` asks, "," by default). A
// value may hold a line feed. False when tshark failed.
bool tshark_fields(const std::string &capture, const std::string &options, const std::vector<std::string> &fields,
                   std::vector<std::vector<std::string>> *rows);

}  // namespace vts

#endif
