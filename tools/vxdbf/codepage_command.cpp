#include "tools/vxdbf/codepage_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string_view>
#include <unordered_set>

#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/table_text.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// How much of a table the assistant reads: enough text to judge, bounded for large tables.
constexpr std::int32_t kMaxRecords = 20000;
constexpr std::size_t kMaxMemoBytes = 64 * 1024;
constexpr std::size_t kEnoughHighBytes = 256 * 1024;
constexpr std::size_t kSampleWords = 4;

// Common words, in lower case, of the languages the candidate pages serve, that hold letters
// beyond ASCII (words of plain ASCII read alike in every page and decide nothing).
constexpr const char* kCommonWords[] = {
    // German
    "für über können müssen würde während größe straße schön fünf zwölf später natürlich "
    "zurück möglich nächste hätte wäre dafür daß heißt weiß groß außer grün früher",
    // French
    "été être où déjà très après première français française même là système année "
    "société café théâtre numéro ça reçu créé général région élève",
    // Spanish and Portuguese
    "año años más también así está están qué cómo dónde sí niño señor señora españa español "
    "música país día días número después aquí não são então já até você mãe informação ação "
    "é português coração população",
    // Nordic
    "på så år för även när också här være også blå",
    // Polish
    "się że już może też są być także więc między właśnie każdy będzie został jeśli który "
    "która które których żeby złoty złotych województwo",
    // Czech, Slovak, Slovene, Croatian
    "při být také může který které již než před mezi ještě několik město sú tiež či še več "
    "što će",
    // Hungarian and Romanian
    "és által között után még több első év évben így ő út și în că să fără",
    // Russian, Ukrainian, Belarusian, Bulgarian, Serbian
    "и в не на я что с по это как а то все она так его но да ты к у же вы за бы от из мы для "
    "о при год или уже только был была были есть город улица россия москва район область "
    "дом і що та це від є україна київ се са од",
};

const std::unordered_set<std::string>& CommonWords() {
  static const std::unordered_set<std::string> kWords = [] {
    std::unordered_set<std::string> words;
    for (const char* list : kCommonWords) {
      std::string_view rest(list);
      while (!rest.empty()) {
        const std::size_t blank = std::min(rest.find(' '), rest.size());
        // One letter is too little to tell a language ("с" is also "ñ" read in another page).
        const std::string_view word = rest.substr(0, blank);
        std::size_t letters = 0;
        for (std::size_t pos = 0; pos < word.size(); ++letters) os::NextCodePoint(word, pos);
        if (letters > 1) words.emplace(word);
        rest.remove_prefix(std::min(blank + 1, rest.size()));
      }
    }
    return words;
  }();
  return kWords;
}

enum class Script { kLatin, kCyrillic, kGreek, kOther };

Script ScriptOf(char32_t cp) {
  if (cp < 0x250) return Script::kLatin;
  if (cp >= 0x370 && cp < 0x400) return Script::kGreek;
  if (cp >= 0x400 && cp < 0x530) return Script::kCyrillic;
  return Script::kOther;
}

bool IsLetter(char32_t cp) { return os::IsLetterCodePoint(cp); }
bool IsBoxOrBlock(char32_t cp) { return cp >= 0x2500 && cp <= 0x25A0; }
bool IsControl(char32_t cp) {
  return (cp < 0x20 && cp != '\t' && cp != '\r' && cp != '\n') || (cp >= 0x7F && cp < 0xA0);
}
bool IsLower(char32_t cp) { return os::UpperCodePoint(cp) != cp; }
bool IsUpper(char32_t cp) { return os::LowerCodePoint(cp) != cp; }

// The score of one word (a run of letters) holding a character beyond ASCII.
double ScoreWord(std::u32string_view word) {
  double score = 0;
  std::set<Script> scripts;
  std::string lower;
  for (std::size_t i = 0; i < word.size(); ++i) {
    scripts.insert(ScriptOf(word[i]));
    os::AppendCodePoint(lower, os::LowerCodePoint(word[i]));
    // "AndalucÝa": a capital after a small letter, beyond ASCII, is a wrong page's sign.
    if (i > 0 && IsLower(word[i - 1]) && IsUpper(word[i]) && (word[i] >= 0x80)) score -= 1;
  }
  if (scripts.size() > 1) score -= 3;  // "BБcher": a page of another script
  if (CommonWords().count(lower) != 0) score += 4;
  return score;
}

// The score of one decoded text; characters beyond ASCII only (ASCII reads alike everywhere).
double ScoreText(const std::u32string& text) {
  double score = 0;
  std::size_t word_start = 0;
  bool word_has_high = false;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool letter = i < text.size() && IsLetter(text[i]);
    if (letter) {
      if (i == word_start || !IsLetter(text[i - 1])) {
        word_start = i;
        word_has_high = false;
      }
      word_has_high = word_has_high || text[i] >= 0x80;
    } else if (i > 0 && IsLetter(text[i - 1]) && word_has_high) {
      score += ScoreWord(std::u32string_view(text).substr(word_start, i - word_start));
    }
    if (i == text.size() || text[i] < 0x80) continue;
    const char32_t c = text[i];
    const bool before = i > 0 && IsLetter(text[i - 1]);
    const bool after = i + 1 < text.size() && IsLetter(text[i + 1]);
    if (letter) {
      score += 1;
    } else if (IsControl(c)) {
      score -= 3;
    } else if (IsBoxOrBlock(c)) {
      score -= before && after ? 3 : (before || after) ? 2 : 0.5;
    } else {
      score -= before && after ? 2 : (before || after) ? 1 : 0.25;
    }
  }
  return score;
}

std::u32string CodePoints(const std::string& utf8) {
  std::u32string out;
  for (std::size_t pos = 0; pos < utf8.size();) out += os::NextCodePoint(utf8, pos);
  return out;
}

// The first few distinct words (runs of letters and bytes beyond ASCII) that hold such a byte.
std::vector<std::string> SampleWords(const std::vector<std::string>& texts) {
  std::vector<std::string> words;
  for (const std::string& text : texts) {
    std::string word;
    bool high = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
      const auto b = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
      if (b >= 0x80 || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
        word += static_cast<char>(b);
        high = high || b >= 0x80;
        continue;
      }
      if (high && std::find(words.begin(), words.end(), word) == words.end()) {
        words.push_back(word);
        if (words.size() == kSampleWords) return words;
      }
      word.clear();
      high = false;
    }
  }
  return words;
}

// The order of pages whose scores tie: the more common first.
int Commonness(int page) {
  constexpr int kOrder[] = {1252, 437, 850, 1251, 866, 1250, 852, 65001};
  const auto* it = std::find(std::begin(kOrder), std::end(kOrder), page);
  return static_cast<int>(it - std::begin(kOrder));
}

// A memo holding a picture or other binary data, not text: a picture's signature, NUL bytes, or
// more than one byte in twenty a control character.
bool LooksBinary(std::string_view text) {
  // Pictures whose memo read stops at their own end-of-file byte before any NUL.
  for (const std::string_view magic : {"\x89PNG", "\xFF\xD8\xFF", "GIF8"}) {
    if (text.substr(0, magic.size()) == magic) return true;
  }
  std::size_t controls = 0;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b == 0) return true;
    if ((b < 0x20 && b != '\t' && b != '\r' && b != '\n' && b != 0x1A) || b == 0x7F) ++controls;
  }
  return controls * 20 > text.size();
}

// The stored text of a table that the assistant judges: character fields and memos.
struct TableSample {
  std::vector<std::string> texts;
  std::int32_t records = 0;
  std::int32_t memos = 0;
  std::size_t high_bytes = 0;
};

TableSample ReadSample(TableRecord& t) {
  TableSample sample;
  const std::int32_t count = std::min(t.record_count, kMaxRecords);
  const bool memo_file = MemoOf(t) != nullptr;
  for (std::int32_t n = 1; n <= count && sample.high_bytes < kEnoughHighBytes; ++n) {
    GO(n);
    ++sample.records;
    for (const FieldEntry& f : t.fields) {
      std::string text;
      if (f.type == 'C') {
        text.assign(t.record.data() + f.offset, f.length);
      } else if (f.type == 'M' && memo_file) {
        const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
        if (block <= 0 || !ReadMemo(t, block, text)) continue;
        if (text.size() > kMaxMemoBytes) text.resize(kMaxMemoBytes);
        ++sample.memos;
      } else {
        continue;
      }
      const auto high = static_cast<std::size_t>(std::count_if(
          text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
      if (high == 0 || LooksBinary(text)) continue;
      sample.high_bytes += high;
      sample.texts.push_back(std::move(text));
    }
  }
  return sample;
}

std::string Meaning(int page) {
  const std::optional<std::uint8_t> id = LanguageDriverForCodePage(page);
  return id ? FindLanguageDriver(*id)->meaning : "";
}

int SetMark(const Options& o, const Streams& io) {
  const std::uint8_t id = WriteCodePageMark(o.file, o.codepage);
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", id);
  io.out << "Language driver " << hex << " (" << FindLanguageDriver(id)->meaning << ", code page "
         << o.codepage << ") written to " << o.file << "\n";
  return kExitOk;
}

int Assist(const Options& o, const Streams& io) {
  if (o.codepage != 0) return SetMark(o, io);
  Options reading = o;
  reading.lossy = true;  // the assistant decodes every page, whatever does not fit
  TableSession session(reading, o.file, Access::kRead, io.err);
  TableRecord& t = session.table();
  const TableMark mark = ReadTableMark(t);
  Options unmarked;
  const CodePageChoice choice = ChooseCodePage(mark, unmarked);
  const int declared = choice.page;
  // Only a mark this tool can follow names a page; an unknown one is as good as none.
  const bool marked = choice.warning.empty() && choice.reason.rfind("language driver", 0) == 0;
  const TableSample sample = ReadSample(t);
  session.Close();

  std::vector<int> pages(std::begin(kCandidatePages), std::end(kCandidatePages));
  if (std::find(pages.begin(), pages.end(), declared) == pages.end()) pages.push_back(declared);
  const std::vector<PageScore> ranked = RankCodePages(sample.texts, pages, marked ? declared : 0);

  if (o.json) {
    nlohmann::ordered_json report;
    report["file"] = o.file;
    report["records"] = sample.records;
    report["memos"] = sample.memos;
    report["bytes_beyond_ascii"] = sample.high_bytes;
    report["marked_page"] = marked ? declared : 0;
    for (const PageScore& s : ranked) {
      report["pages"].push_back({{"page", s.page},
                                 {"score", static_cast<double>(std::lround(s.score * 100)) / 100},
                                 {"samples", s.samples}});
    }
    io.out << report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitOk;
  }
  io.out << "Language driver:  " << DescribeMark(mark) << "\n"
         << "Text examined:    " << sample.records << " records, " << sample.memos << " memos, "
         << sample.high_bytes << " bytes beyond ASCII\n";
  if (sample.high_bytes == 0) {
    io.out << "No byte beyond ASCII: every code page reads this table alike.\n";
    return kExitOk;
  }
  io.out << " Page  Score  Sample words\n";
  for (const PageScore& s : ranked) {
    char line[32];
    std::snprintf(line, sizeof line, "%5d %6.2f ", s.page, s.score);
    io.out << line;
    for (const std::string& word : s.samples) io.out << " " << word;
    io.out << "\n";
  }
  const int best = ranked.front().page;
  if (marked && best == declared) {
    io.out << "The mark agrees: code page " << best << " reads best.\n";
  } else {
    io.out << "Best: code page " << best;
    const std::string meaning = Meaning(best);
    if (!meaning.empty()) {
      io.out << " (" << meaning << "). To mark the table: vxdbf codepage " << o.file << " --set "
             << best << "\n";
    } else {
      io.out << ". No language driver mark names it: read the table with --codepage " << best
             << "\n";
    }
  }
  return kExitOk;
}

}  // namespace

std::vector<PageScore> RankCodePages(const std::vector<std::string>& texts,
                                     const std::vector<int>& pages, int preferred) {
  const std::vector<std::string> samples = SampleWords(texts);
  std::vector<PageScore> scores;
  for (const int page : pages) {
    if (!os::CodePageAvailable(page)) continue;
    PageScore s{page};
    // Per character beyond ASCII as this page decodes it, so that a page of two-byte
    // characters is not judged by half its bytes; bytes that decode to nothing count too.
    double total = 0;
    std::size_t characters = 0;
    for (const std::string& text : texts) {
      const os::ConvertedText decoded = os::DecodeCodePage(page, text, os::OnFault::kReplace);
      const std::u32string code_points = CodePoints(decoded.text);
      total += ScoreText(code_points) - 3.0 * static_cast<double>(decoded.replaced);
      characters += decoded.replaced +
                    static_cast<std::size_t>(std::count_if(code_points.begin(), code_points.end(),
                                                           [](char32_t c) { return c >= 0x80; }));
    }
    s.score = characters == 0 ? 0 : total / static_cast<double>(characters);
    for (const std::string& word : samples) {
      s.samples.push_back(os::DecodeCodePage(page, word, os::OnFault::kReplace).text);
    }
    scores.push_back(std::move(s));
  }
  std::stable_sort(scores.begin(), scores.end(),
                   [preferred](const PageScore& a, const PageScore& b) {
                     if (std::abs(a.score - b.score) > 1e-9) return a.score > b.score;
                     if ((a.page == preferred) != (b.page == preferred)) {
                       return a.page == preferred;
                     }
                     return Commonness(a.page) < Commonness(b.page);
                   });
  return scores;
}

void RegisterCodepageCommand(Commands& commands) {
  Options& o = commands.options();
  CLI::App& command = commands.Add(
      {"codepage", "FILE [--set N] [--json]                 (which code page the text is in)",
       "Scores code pages on the table's own text and memos and lists them best first with "
       "sample words; --set N writes the language driver mark of page N (exclusive use, nothing "
       "else changes).",
       "vxdbf codepage films.dbf    then    vxdbf codepage films.dbf --set 1252", Assist});
  AddFileArgument(command, o);
  AddCodePageOption(command, "--set", o.codepage,
                    "write the language driver mark of this code page instead");
  command.add_flag("--json", o.json, "print the ranking as one JSON object");
}

}  // namespace vx::tool
