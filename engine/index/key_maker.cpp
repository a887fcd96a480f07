#include "engine/index/key_maker.h"

namespace vx {

bool CompileTagExpressions(const TagHeader& header, TagExpressions& out) {
  out = TagExpressions{};
  switch (header.KeyType()) {
    case 'C':
      out.result_type = 'C';
      out.width = header.KeyLength();
      break;
    case 'D':
      out.result_type = 'D';
      out.width = 8;
      break;
    default:
      out.result_type = 'N';
      out.width = 20;
      break;
  }
  return true;
}

bool HasKeyMaker(const TagExpressions& expressions) { return expressions.key != nullptr; }

bool MakeKey(const TagExpressions& expressions, const TagHeader&, TableRecord&, KeyBuffer&, int&) {
  return HasKeyMaker(expressions) && false;
}

bool MeetsFor(const TagExpressions&, TableRecord&) { return true; }

}  // namespace vx
