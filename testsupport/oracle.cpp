#include "oracle.h"

#include <cctype>
#include <cstdlib>

#include "runner.h"

namespace vts {

bool tshark_fields(const std::string &capture, const std::string &options, const std::vector<std::string> &fields,
                   std::vector<std::vector<std::string>> *rows) {
  rows->clear();
  TempDir td;
  std::string cmd = "tshark -n -r '" + capture + "' " + options + " -T fields -E separator=/t -e frame.number";
  for (const std::string &f : fields) cmd += " -e " + f;
  cmd += " > '" + td.file("fields") + "' 2>/dev/null";
  if (sh(cmd) != 0) return false;
  // A row starts with the next frame number; any other line continues the
  // value before it.
  std::vector<std::string> text;
  const std::string all = readFile(td.file("fields"));
  for (size_t at = 0; at < all.size();) {
    size_t nl = all.find('\n', at);
    std::string l = all.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? all.size() : nl + 1;
    size_t d = 0;
    while (d < l.size() && isdigit(static_cast<unsigned char>(l[d]))) d++;
    if (d > 0 && d < l.size() && l[d] == '\t' && strtoul(l.c_str(), nullptr, 10) == text.size() + 1)
      text.push_back(l);
    else if (!text.empty())
      text.back() += "\n" + l;
  }
  for (const std::string &l : text) {
    std::vector<std::string> cols;
    size_t p = 0;
    for (;;) {
      size_t t = l.find('\t', p);
      cols.push_back(l.substr(p, t == std::string::npos ? std::string::npos : t - p));
      if (t == std::string::npos) break;
      p = t + 1;
    }
    cols.resize(1 + fields.size());
    rows->push_back(cols);
  }
  return true;
}

}  // namespace vts
