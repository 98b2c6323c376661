// Names as clients see them. A POSIX host holds names that SMB cannot carry
// (a backslash, the characters Windows reserves, control characters, a final
// dot or space); they travel as characters of the private-use range
// U+F001-U+F029, the mapping macOS and the Linux kernel's client ("mapposix")
// already undo, and come back the same way. A Windows host's names are valid
// as they are, so there the mapping is the identity. Pure text functions: both
// rule sets are tested on every host.
#include <string>
#include <string_view>

#include "fs/fs.h"
#include "util/util.h"

namespace {

// U+F000 to U+F03F in UTF-8: 0xEF 0x80, then 0x80 + the low six bits.
constexpr unsigned char kPuLead0 = 0xEF, kPuLead1 = 0x80;
constexpr unsigned char kPuFirst = 0x81;  // U+F001
constexpr unsigned char kPuLast = 0xA9;   // U+F029
constexpr unsigned char kPuBase = 0x80;   // U+F000
constexpr unsigned char kControlLast = 0x1F;
// The reserved characters in the order of their code points from U+F020.
constexpr std::string_view kReserved = "\"*:<>?\\|";
constexpr unsigned char kPuReservedFirst = 0xA0;  // U+F020
constexpr unsigned char kPuSpace = 0xA8;          // U+F028, a final space
constexpr unsigned char kPuPeriod = 0xA9;         // U+F029, a final period

void put_pu(std::string* out, unsigned char low) {
  out->push_back(static_cast<char>(kPuLead0));
  out->push_back(static_cast<char>(kPuLead1));
  out->push_back(static_cast<char>(low));
}

// The last byte of a private-use character of the mapped range at s[i], or 0.
unsigned char pu_at(std::string_view s, size_t i) {
  if (s.size() < 3 || i > s.size() - 3) return 0;
  const auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]),
             c = static_cast<unsigned char>(s[i + 2]);
  return a == kPuLead0 && b == kPuLead1 && c >= kPuFirst && c <= kPuLast ? c : 0;
}

bool valid_client_name(std::string_view name, const tw3_name_rules& rules) {
  return tw3_component_ok(name) && (!rules.windows || tw3_win_component_ok(name));
}

// Host to client without the final check.
bool map_out(std::string_view host, std::string* out) {
  for (size_t i = 0; i < host.size(); ++i) {
    const auto c = static_cast<unsigned char>(host[i]);
    const bool last = i + 1 == host.size();
    if (pu_at(host, i) != 0) return false;  // would read back as another name
    if (c >= 1 && c <= kControlLast) {
      put_pu(out, static_cast<unsigned char>(kPuBase + c));
    } else if (const size_t r = kReserved.find(static_cast<char>(c)); r != std::string_view::npos) {
      put_pu(out, static_cast<unsigned char>(kPuReservedFirst + r));
    } else if (last && c == ' ') {
      put_pu(out, kPuSpace);
    } else if (last && c == '.') {
      put_pu(out, kPuPeriod);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
  return true;
}

// Client to host without the final check.
bool map_in(std::string_view client, std::string* out) {
  for (size_t i = 0; i < client.size(); ++i) {
    const unsigned char pu = pu_at(client, i);
    if (pu == 0) {
      out->push_back(client[i]);
      continue;
    }
    const bool last = i + 3 == client.size();
    if (pu < kPuReservedFirst) {
      out->push_back(static_cast<char>(pu - kPuBase));
    } else if (pu < kPuSpace) {
      out->push_back(kReserved[pu - kPuReservedFirst]);
    } else if (last) {
      out->push_back(pu == kPuSpace ? ' ' : '.');
    } else {
      return false;  // a space or period stands for itself inside a name
    }
    i += 2;
  }
  return true;
}

// Maps every component of a path separated by `sep` with `one`, joining the
// results with `out_sep`. False when a component does not map.
bool each_component(std::string_view path, char sep, char out_sep, const tw3_name_rules& rules,
                    bool (*one)(std::string_view, const tw3_name_rules&, std::string*), std::string* out) {
  out->clear();
  std::string comp;
  while (!path.empty()) {
    const size_t cut = path.find(sep);
    if (!one(path.substr(0, cut), rules, &comp)) return false;
    if (!out->empty()) out->push_back(out_sep);
    out->append(comp);
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return true;
}

}  // namespace

bool tw3_name_to_client(std::string_view host, const tw3_name_rules& rules, std::string* out) {
  out->clear();
  if (rules.windows) {
    out->assign(host);
  } else if (!map_out(host, out)) {
    return false;
  }
  return valid_client_name(*out, rules);
}

bool tw3_name_to_host(std::string_view client, const tw3_name_rules& rules, std::string* out) {
  out->clear();
  if (rules.windows) {
    out->assign(client);
  } else if (!map_in(client, out)) {
    return false;
  }
  // Only a name a listing would show can be opened: hidden names stay out of
  // reach by every spelling.
  std::string back;
  return !out->empty() && tw3_name_to_client(*out, rules, &back);
}

bool tw3_path_to_host(std::string_view vpath, const tw3_name_rules& rules, std::string* out) {
  return each_component(vpath, '/', '/', rules, tw3_name_to_host, out);
}

bool tw3_path_to_client(std::string_view rel, char sep, const tw3_name_rules& rules, std::string* out) {
  return each_component(rel, sep, '\\', rules, tw3_name_to_client, out);
}
