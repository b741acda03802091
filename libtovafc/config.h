// Line-oriented configuration file of named groups holding named items,
// each item an ordered list of text values. Lookups ignore case.
#ifndef TOVAFC_CONFIG_H
#define TOVAFC_CONFIG_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tovafc {

class ImplConfig;

class TovConfig {
 public:
  using strings = std::vector<std::string>;

  TovConfig();
  explicit TovConfig(const std::string &filename);
  TovConfig(const TovConfig &other);
  TovConfig &operator=(const TovConfig &other);
  ~TovConfig();

  const std::string &filename() const;
  bool exists(const std::string &group) const;
  bool exists(const std::string &group, const std::string &item) const;

  // Names in file order.
  const strings &groups() const;
  const strings &items(const std::string &group, bool mandatory = false) const;

  const strings &values(const std::string &group, const std::string &item,
                        bool mandatory = false) const;
  const std::string &value(const std::string &group, const std::string &item,
                           bool mandatory = false, unsigned int index = 0) const;
  bool boolval(const std::string &group, const std::string &item, bool dflt = false,
               unsigned int index = 0) const;
  int intval(const std::string &group, const std::string &item, int dflt = 0,
             unsigned int index = 0) const;

  // Discard the content and parse the file again.
  void update();
  // Listing that reads back as the same content.
  void dump(FILE *out) const;

 private:
  std::unique_ptr<ImplConfig> pimpl;
};

}  // namespace tovafc

#endif
