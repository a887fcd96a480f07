#include "tests/support/perl_index.h"

#include <cstdio>
#include <cstdlib>

namespace vx::test {

bool PerlHasXBase() { return std::system("perl -MXBase::Index -e 1 2>/dev/null") == 0; }

bool PerlReadsIndex(const std::string& index, const std::string& tag, const std::string& type,
                    const std::string& listing,
                    std::vector<std::pair<std::string, std::uint32_t>>& out) {
  const std::string options =
      tag.empty() ? std::string() : ", \"tag\" => $ARGV[1], \"type\" => $ARGV[2]";
  const std::string command =
      "perl -MXBase::Index -e '$i = XBase::Index->new($ARGV[0]" + options +
      ") or die XBase::Index->errstr; $i->prepare_select; while (my ($k, $r) = $i->fetch) "
      "{ print \"$k\\t$r\\n\" }' '" + index + "' " + (tag.empty() ? "" : tag + " " + type) +
      " > '" + listing + "'";
  if (std::system(command.c_str()) != 0) return false;
  std::FILE* f = std::fopen(listing.c_str(), "r");
  if (f == nullptr) return false;
  char line[1024];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    std::string text(line);
    const std::size_t tab = text.rfind('\t');
    if (tab == std::string::npos) continue;
    std::string key = text.substr(0, tab);
    key.erase(key.find_last_not_of(' ') + 1);
    out.emplace_back(key, static_cast<std::uint32_t>(std::atol(text.c_str() + tab + 1)));
  }
  std::fclose(f);
  return true;
}

}  // namespace vx::test
