#include "config.h"

#include <cstring>
#include <map>

#include "exception.h"
#include "tova.h"
#include "utils.h"

namespace tovafc {

namespace {
const std::string empty_text;
const TovConfig::strings empty_list;

struct item_t {
  std::string name;
  TovConfig::strings values;
};
struct group_t {
  std::map<std::string, item_t, TovNocaseStringLess> items;
  TovConfig::strings itemnams;
};
}  // namespace

class ImplConfig {
 public:
  std::string filename;
  std::map<std::string, group_t, TovNocaseStringLess> groups;
  TovConfig::strings grpnams;

  void load();
  void parse_values(const char *text, int lineno, item_t &item);
  const group_t *group(const std::string &name, bool mandatory) const;
  const item_t *item(const std::string &grp, const std::string &name, bool mandatory) const;
};

static constexpr int LINE_MAX_BYTES = 1601;

void ImplConfig::load() {
  FILE *f = fopen(filename.c_str(), "r");
  if (!f) throw TovException(9, "TovConfig: Failed to open file [%s]", filename.c_str());
  struct Closer {
    FILE *f;
    ~Closer() { fclose(f); }
  } closer{f};
  char line[LINE_MAX_BYTES];
  int lineno = 0;
  group_t *cur = nullptr;
  std::string curname;
  while (fgets(line, sizeof line, f)) {
    lineno++;
    size_t len = strlen(line);
    if (len == 0 || line[len - 1] != '\n')
      throw TovException(9, "TovConfig %s:%d - Line too long, max=%d", filename.c_str(), lineno, LINE_MAX_BYTES);
    char *s = strip(line, false);
    if (!*s || *s == '#') continue;
    if (*s == '[') {
      size_t n = strlen(s);
      if (s[n - 1] != ']' || n < 2)
        throw TovException(9, "TovConfig %s:%d - Invalid group-name brackets [%s]", filename.c_str(), lineno, s);
      s[n - 1] = '\0';
      std::string name = strip(s + 1, false);
      if (groups.count(name))
        throw TovException(9, "TovConfig %s:%d - Duplicate %s group", filename.c_str(), lineno, name.c_str());
      cur = &groups[name];
      curname = name;
      grpnams.push_back(name);
      continue;
    }
    if (!cur) throw TovException(9, "TovConfig %s:%d - Not in group !", filename.c_str(), lineno);
    char *eq = strchr(s, '=');
    if (!eq)
      throw TovException(9, "TovConfig %s:%d - Missing name/value delimiter [%s]", filename.c_str(), lineno, s);
    *eq = '\0';
    std::string name = strip(s, false);
    if (cur->items.count(name))
      throw TovException(9, "TovConfig %s:%d - Duplicate %s item in group %s", filename.c_str(), lineno,
                         name.c_str(), curname.c_str());
    item_t it;
    it.name = name;
    parse_values(eq + 1, lineno, it);
    if (it.values.empty()) continue;
    cur->items.emplace(name, std::move(it));
    cur->itemnams.push_back(name);
  }
  if (ferror(f)) throw TovException(9, "TovConfig: Failed to read file [%s]", filename.c_str());
}

void ImplConfig::parse_values(const char *text, int lineno, item_t &item) {
  std::string cur;
  auto finish = [&]() {
    std::string v = cur;
    cur.clear();
    strip(v);
    bool lq = !v.empty() && v.front() == '"';
    bool rq = !v.empty() && v.back() == '"';
    if (lq || rq) {
      if (!lq || !rq || v.size() < 2)
        throw TovException(9, "TovConfig %s:%d - Mismatched quotes in value %d [%s]", filename.c_str(), lineno,
                           (int)item.values.size(), v.c_str());
      v = v.substr(1, v.size() - 2);
    }
    item.values.push_back(v);
  };
  for (const char *p = text; *p; p++) {
    if (*p == ';') {
      finish();
    } else if (*p == '\\') {
      if (!p[1]) throw TovException(9, "TovConfig %s:%d - Hanging escape [%s]", filename.c_str(), lineno, p);
      cur += *++p;
    } else {
      cur += *p;
    }
  }
  finish();
  while (!item.values.empty() && item.values.back().empty()) item.values.pop_back();
}

const group_t *ImplConfig::group(const std::string &name, bool mandatory) const {
  auto it = groups.find(name);
  if (it == groups.end()) {
    if (mandatory) throw TovException(9, "TovConfig: No such group <%s>", name.c_str());
    return nullptr;
  }
  return &it->second;
}

const item_t *ImplConfig::item(const std::string &grp, const std::string &name, bool mandatory) const {
  const group_t *g = group(grp, mandatory);
  if (!g) return nullptr;
  auto it = g->items.find(name);
  if (it == g->items.end()) {
    if (mandatory) throw TovException(9, "TovConfig: No such item <%s, %s>", grp.c_str(), name.c_str());
    return nullptr;
  }
  return &it->second;
}

TovConfig::TovConfig() : pimpl(new ImplConfig) {}

TovConfig::TovConfig(const std::string &filename) : pimpl(new ImplConfig) {
  try {
    TovAssertFull(!filename.empty(), "TovConfig: Blank filename supplied !");
    pimpl->filename = filename;
    pimpl->load();
  } catch (...) {
    pimpl.reset();
    throw;
  }
}

TovConfig::TovConfig(const TovConfig &other) : pimpl(new ImplConfig(*other.pimpl)) {}

TovConfig &TovConfig::operator=(const TovConfig &other) {
  if (this != &other) *pimpl = *other.pimpl;
  return *this;
}

TovConfig::~TovConfig() { pimpl.reset(); }

const std::string &TovConfig::filename() const { return pimpl->filename; }
bool TovConfig::exists(const std::string &group) const { return pimpl->group(group, false) != nullptr; }
bool TovConfig::exists(const std::string &group, const std::string &item) const {
  return pimpl->item(group, item, false) != nullptr;
}
const TovConfig::strings &TovConfig::groups() const { return pimpl->grpnams; }

const TovConfig::strings &TovConfig::items(const std::string &group, bool mandatory) const {
  const group_t *g = pimpl->group(group, mandatory);
  return g ? g->itemnams : empty_list;
}

const TovConfig::strings &TovConfig::values(const std::string &group, const std::string &item,
                                            bool mandatory) const {
  const item_t *it = pimpl->item(group, item, mandatory);
  return it ? it->values : empty_list;
}

const std::string &TovConfig::value(const std::string &group, const std::string &item, bool mandatory,
                                    unsigned int index) const {
  const item_t *it = pimpl->item(group, item, mandatory);
  if (!it) return empty_text;
  if (index >= it->values.size()) {
    if (mandatory)
      throw TovException(9, "TovConfig: No such item <%s, %s, %d>", group.c_str(), item.c_str(), (int)index);
    return empty_text;
  }
  return it->values[index];
}

bool TovConfig::boolval(const std::string &group, const std::string &item, bool dflt, unsigned int index) const {
  const std::string &v = value(group, item, false, index);
  if (v.empty()) return dflt;
  const char *s = v.c_str();
  if (!strcasecmp(s, "Yes") || !strcasecmp(s, "Y") || !strcasecmp(s, "true")) return true;
  if (!strcasecmp(s, "No") || !strcasecmp(s, "N") || !strcasecmp(s, "false")) return false;
  throw TovException(9, "TovConfig: Invalid Boolean value=%s <%s, %s, %d>", s, group.c_str(), item.c_str(),
                     (int)index);
}

int TovConfig::intval(const std::string &group, const std::string &item, int dflt, unsigned int index) const {
  const std::string &v = value(group, item, false, index);
  if (v.empty()) return dflt;
  if (!isdecstr(v.c_str()))
    throw TovException(9, "TovConfig: Invalid Integer value=%s <%s, %s, %d>", v.c_str(), group.c_str(),
                       item.c_str(), (int)index);
  return (int)strtol(v.c_str(), nullptr, 10);
}

void TovConfig::update() {
  pimpl->groups.clear();
  pimpl->grpnams.clear();
  pimpl->load();
}

static void dump_value(FILE *out, const std::string &v) {
  // Quoted when blank-edged, and also when quote-edged, or it would not read back.
  auto edge = [](char c) { return isspace((unsigned char)c) || c == '"'; };
  bool quote = !v.empty() && (edge(v.front()) || edge(v.back()));
  if (quote) fputc('"', out);
  for (char c : v) {
    if (c == ';' || c == '\\') fputc('\\', out);
    fputc(c, out);
  }
  if (quote) fputc('"', out);
}

void TovConfig::dump(FILE *out) const {
  const ImplConfig &c = *pimpl;
  fprintf(out, "%c Filename = %s\n", '#', c.filename.c_str());
  fprintf(out, "%c %ld Groups\n", '#', (long)c.groups.size());
  for (const auto &g : c.groups) {
    fprintf(out, "\n%c%s%c\n", '[', g.first.c_str(), ']');
    fprintf(out, "%c %ld Items\n", '#', (long)g.second.items.size());
    for (const auto &it : g.second.items) {
      fprintf(out, "%s%c", it.first.c_str(), '=');
      bool first = true;
      for (const auto &v : it.second.values) {
        if (!first) fprintf(out, "%c ", ';');
        first = false;
        dump_value(out, v);
      }
      fputc('\n', out);
    }
    TovAssertFull(g.second.items.size() == g.second.itemnams.size(), "TovConfig %s: In Group %s, items=%d but itemnams=%d",
                  c.filename.c_str(), g.first.c_str(), (int)g.second.items.size(), (int)g.second.itemnams.size());
  }
  TovAssertFull(c.groups.size() == c.grpnams.size(), "TovConfig %s: groups=%d but grpnams=%d", c.filename.c_str(),
                (int)c.groups.size(), (int)c.grpnams.size());
}

}  // namespace tovafc
