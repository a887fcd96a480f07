// The public errors: a fault, the advice that goes with it, and the library's words for it.

#include <vexel/vexel.hpp>

namespace vexel {

struct Error::Details {
  std::string fault;
  std::vector<Advice> advice;
};

std::string remedy_words(Remedy remedy) {
  switch (remedy) {
    case Remedy::other_code_page:
      return "the codepage option";
    case Remedy::lossy:
      return "the lossy option";
    case Remedy::ignore_index:
      return "the ignore_index option";
    case Remedy::repair:
      return "check_table with repair";
    case Remedy::check:
      return "check_table";
    case Remedy::overwrite:
      return "the overwrite option";
    case Remedy::repair_ndx:
      return "check_ndx with repair";
    case Remedy::reindex:
      return "Table::reindex";
    case Remedy::add_tag:
      return "Table::add_tag";
    case Remedy::build_ndx:
      return "build_ndx";
  }
  return "?";
}

std::string advised(const std::string& fault, const std::vector<Advice>& advice,
                    std::string (*words)(Remedy)) {
  if (advice.empty()) return fault;
  if (words == nullptr) words = remedy_words;
  std::string text = fault + " (";
  for (std::size_t i = 0; i < advice.size(); ++i) {
    if (i > 0) text += "; ";
    text += words(advice[i].remedy);
    if (!advice[i].effect.empty()) text += " " + advice[i].effect;
  }
  return text + ")";
}

Error::Error(ErrorKind kind, int code, const std::string& message, std::vector<Advice> advice)
    : std::runtime_error(advised(message, advice)),
      code_(code),
      kind_(kind),
      details_(std::make_shared<const Details>(Details{message, std::move(advice)})) {}

const std::string& Error::fault() const noexcept { return details_->fault; }

const std::vector<Advice>& Error::advice() const noexcept { return details_->advice; }

}  // namespace vexel
