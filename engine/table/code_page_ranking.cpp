#include "engine/table/code_page_ranking.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "platform/os/codepage.h"

namespace vx {

namespace {

constexpr std::size_t kSampleWords = 4;
// Scores (per character beyond ASCII) closer than this do not tell two pages apart.
constexpr double kTooCloseToCall = 0.1;
// Fewer bytes beyond ASCII than this do not tell pages apart whatever their scores.
constexpr std::size_t kLittleEvidence = 3;

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
constexpr std::size_t kScripts = 3;  // the scripts whose letters the languages below weigh

// The languages are read in groups, as the pages serve them: a text reads as one group's
// languages (a word in one of another group costs kForeignWord), so that letters a Central
// European page makes of a Western text's bytes do not outweigh the text's other words.
enum class Group { kWestern, kCentral, kBaltic, kTurkish, kGreek, kCyrillic };

Script ScriptOfGroup(Group group) {
  if (group == Group::kGreek) return Script::kGreek;
  if (group == Group::kCyrillic) return Script::kCyrillic;
  return Script::kLatin;
}

Script ScriptOf(char32_t cp) {
  if (cp < 0x250) return Script::kLatin;
  if (cp >= 0x370 && cp < 0x400) return Script::kGreek;
  if (cp >= 0x400 && cp < 0x530) return Script::kCyrillic;
  return Script::kOther;
}

// A language: its letters beyond ASCII, lower case, each with its share of all letters of
// ordinary text (percent) and how often it stands between each pair of neighbours (nine
// counts in tenths of a percent: boundary, vowel or consonant before, times the same after).
struct Language {
  Group group;
  const char* letters;  // "ä 0.322 0 2 119 0 0 36 0 42 801 ö ...", UTF-8
};
#include "engine/table/code_page_letters.inc"

// What stands beside a letter.
enum Neighbour { kBoundary = 0, kVowel = 1, kConsonant = 2 };

// A letter's place in a language.
struct LetterUse {
  double share = 0;                   // percent of the language's letters
  std::array<double, 9> context{};    // the share of its uses between each pair of neighbours
  bool counted = false;               // whether the context shares were counted at all
};
struct LetterShares {
  Group group;
  std::unordered_map<char32_t, LetterUse> letters;
};

// Letter shares per language, read from kLanguages once.
const std::vector<LetterShares>& Languages() {
  static const std::vector<LetterShares> kShares = [] {
    std::vector<LetterShares> all;
    for (const Language& language : kLanguages) {
      LetterShares shares{language.group, {}};
      const std::string_view text(language.letters);
      std::size_t pos = 0;
      const auto number = [&] {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        const std::size_t end = std::min(text.find(' ', pos), text.size());
        const double value = std::strtod(std::string(text.substr(pos, end - pos)).c_str(), nullptr);
        pos = end;
        return value;
      };
      while (pos < text.size()) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        if (pos == text.size()) break;
        const char32_t letter = os::NextCodePoint(text, pos);
        LetterUse use;
        // Frequent letters count more, rare ones less.
        use.share = number();
        double total = 0;
        for (double& c : use.context) total += (c = number());
        use.counted = total > 0;
        for (double& c : use.context) c = use.counted ? c / total : 0;
        shares.letters[letter] = use;
      }
      all.push_back(std::move(shares));
    }
    return all;
  }();
  return kShares;
}

// Lower case for the letters the languages above use (Greek and the Romanian comma forms
// beside the platform's Latin and Cyrillic).
char32_t Lower(char32_t cp) {
  if (cp >= 0x391 && cp <= 0x3A9) return cp + 0x20;
  switch (cp) {
    case 0x386: return 0x3AC;
    case 0x388: return 0x3AD;
    case 0x389: return 0x3AE;
    case 0x38A: return 0x3AF;
    case 0x38C: return 0x3CC;
    case 0x38E: return 0x3CD;
    case 0x38F: return 0x3CE;
    case 0x3AA: return 0x3CA;
    case 0x3AB: return 0x3CB;
    case 0x218: case 0x219: return 0x15F;  // ș as ş, as the pages hold it
    case 0x21A: case 0x21B: return 0x163;  // ț as ţ
    default: return os::LowerCodePoint(cp);
  }
}

Neighbour NeighbourOf(char32_t cp) {
  static const std::unordered_set<char32_t> kVowels = [] {
    std::unordered_set<char32_t> set;
    const std::string_view text(kVowelsBeyondAscii);
    for (std::size_t pos = 0; pos < text.size();) set.insert(os::NextCodePoint(text, pos));
    for (const char c : std::string_view("aeiouy")) set.insert(static_cast<char32_t>(c));
    return set;
  }();
  if (!os::IsLetterCodePoint(cp)) return kBoundary;
  return kVowels.count(Lower(cp)) != 0 ? kVowel : kConsonant;
}

// Tuned on tests/data/code_page_text/training.txt (tests/data/code_page_text/heldout.txt
// measures the result):
// A letter in a place where its language puts fewer than this share of its uses costs, by
// kPlaceWeight for each tenfold rarer.
constexpr double kUsualPlace = 0.05;
constexpr double kPlaceWeight = 1.0;
// How much more a language's frequent letters count than its rare ones (per tenfold share).
// Nothing: how often a letter comes told Czech from Spanish by "á", never a page from another.
constexpr double kShareSlope = 0.0;
// A word that reads in another group's language only, beyond the text's group.
constexpr double kForeignWord = 1.0;

// The value of one letter to a language between its neighbours: frequent letters count more,
// rare ones less, one in a place the language seldom puts it less again, and one the language
// does not have counts against it.
double LetterValue(const LetterShares& language, char32_t lower, Neighbour before,
                   Neighbour after) {
  const auto it = language.letters.find(lower);
  if (it == language.letters.end()) return -1;
  const LetterUse& use = it->second;
  const double value = std::clamp(1 + kShareSlope * std::log10(use.share), 0.2, 1.4);
  if (!use.counted) return value;
  const double place = use.context[before * 3 + after] + 0.005;
  return value + kPlaceWeight * std::min(0.0, std::log10(place / kUsualPlace));
}

// The most common characters of Chinese text (simplified, then the traditional forms that
// differ), with those of technical and plant texts. A double-byte page that decodes the bytes
// into these reads the text; one that makes rare characters of them does not.
constexpr const char* kCommonHanzi =
    "的一是不了人我在有他这中大来上国个到说们为子和你地出道也时年得就那要下以生会自着去之过"
    "家学对可她里后小么心多天而能好都然没日于起还发成事只作当想看文无开手十用主行方又如前所本"
    "见经头面公同三已老从动两长知民样现分将外但身些与高意进把法此实回二理美点月明其种声全工己"
    "话儿者向情部正名定女问力机给等几很业最间新什打便位因重被走电四第门相次东政海口使教西再平"
    "真听世气信北少关并内加化由却代军产入先山五太水万市眼体别处总才场师书比住员九笑性通目华报"
    "立马命张活难神数件安表原车白应路期叫死常提感金何更反合放做系计或司利受光王果亲界及今京务"
    "制解各任至清物台象记边共风战干接它许八特觉望直服毛林题建南度统色字请交爱让认算论百吃义科"
    "怎元社术结六功指思非流每青管夫连远资队跟带花快条院变联言权往展该领传近留红治决周保达办运"
    "武半候七必城父强步完革深区即求品士转量空甚众技轻程告江语英基派满式李息写呢识极令黄德收脸"
    "钱党倒未持取设始版双历越史商千片容研像找友孩站广改议形委早房音火际则首单据导影失拿网香似"
    "专石若兵弟谁校读志飞观争究包组造落视济喜离虽坐集编宝谈府拉黑且随格尽讲布杀微怕母调局根曾"
    "准团段终乐切级克精哪官示冷域警故障温压阀停止低液泵启备控号错误超限值状态器输模块讯油罐箱"
    "料送装置检测试"
    "這國個們為來時說會對後裡麼過學從動兩長現樣將與點實進話兒經見頭開無發當沒還業間機給幾電門"
    "東聽氣關產軍萬體別處總師書員場報華馬張難數車應親邊風戰幹許覺題統愛讓認論義術結運區單據導"
    "網專組視濟離雖談講殺調團樂級傳紅遠條變聯權隊帶該類記問錢黨臉障溫壓閥啟備號錯誤狀態輸塊訊"
    "裝檢測試";

const std::unordered_set<char32_t>& CommonHanzi() {
  static const std::unordered_set<char32_t> kSet = [] {
    std::unordered_set<char32_t> set;
    const std::string_view text(kCommonHanzi);
    for (std::size_t pos = 0; pos < text.size();) set.insert(os::NextCodePoint(text, pos));
    return set;
  }();
  return kSet;
}

// The value of a character of the Chinese, Japanese and Korean scripts.
double EastAsianValue(char32_t cp) {
  if (cp >= 0x4E00 && cp <= 0x9FFF) return CommonHanzi().count(cp) != 0 ? 1.5 : 0.5;
  if (cp >= 0x3040 && cp <= 0x30FF) return 1.0;  // kana
  if (cp >= 0xAC00 && cp <= 0xD7A3) return 0.5;  // Hangul syllables
  return 0;                                      // rare ideographs, other scripts
}

bool IsLetter(char32_t cp) { return os::IsLetterCodePoint(cp); }
bool IsBoxOrBlock(char32_t cp) { return cp >= 0x2500 && cp <= 0x25A0; }
bool IsControl(char32_t cp) {
  return (cp < 0x20 && cp != '\t' && cp != '\r' && cp != '\n') || (cp >= 0x7F && cp < 0xA0);
}
// Punctuation and full-width forms of East Asian text.
bool IsEastAsianPunctuation(char32_t cp) {
  return (cp >= 0x3000 && cp <= 0x303F) || (cp >= 0xFF01 && cp <= 0xFF5E);
}
// Punctuation and signs that stand beside letters in ordinary text: "¿Qué?", «Oui», 20°C, nº 5.
bool IsOrdinaryPunctuation(char32_t cp) {
  return std::u32string_view(U"¡¿«»‹›„“”‘’‚–—…·°€£¥§©®™ºª").find(cp) != std::u32string_view::npos;
}
bool IsLower(char32_t cp) { return os::UpperCodePoint(cp) != cp || (cp >= 0x3AC && cp <= 0x3CE); }
bool IsUpper(char32_t cp) { return Lower(cp) != cp; }

// One word (a run of letters) holding letters beyond ASCII of one script, as each language
// of that script reads them.
struct WordReading {
  Script script;
  std::vector<double> languages;  // by Languages(); 0 for languages of other scripts
};

// What one page made of the text: its words as the languages read them, and everything else
// (East Asian characters, symbols, controls, whole words).
struct TextScore {
  double other = 0;
  std::vector<WordReading> words;

  // Each script's words read as the best group of languages, and the rest.
  double Total() const {
    const std::vector<LetterShares>& languages = Languages();
    double total = other;
    for (std::size_t script = 0; script < kScripts; ++script) {
      double best = 0;
      bool seen = false;
      for (const Group group : {Group::kWestern, Group::kCentral, Group::kBaltic,
                                Group::kTurkish, Group::kGreek, Group::kCyrillic}) {
        if (static_cast<std::size_t>(ScriptOfGroup(group)) != script) continue;
        double sum = 0;
        for (const WordReading& word : words) {
          if (static_cast<std::size_t>(word.script) != script) continue;
          double in_group = -1e9, anywhere = -1e9;
          for (std::size_t l = 0; l < languages.size(); ++l) {
            if (ScriptOfGroup(languages[l].group) != word.script) continue;
            anywhere = std::max(anywhere, word.languages[l]);
            if (languages[l].group == group) in_group = std::max(in_group, word.languages[l]);
          }
          sum += std::max(in_group, anywhere - kForeignWord);
        }
        if (!seen || sum > best) best = sum;
        seen = true;
      }
      total += best;
    }
    return total;
  }
};

// The score of one word (a run of letters) holding a character beyond ASCII, beyond what its
// letters are worth to the languages.
double ScoreWord(std::u32string_view word) {
  double score = 0;
  std::set<Script> scripts;
  std::string lower;
  std::size_t accented_latin = 0;
  for (std::size_t i = 0; i < word.size(); ++i) {
    scripts.insert(ScriptOf(word[i]));
    os::AppendCodePoint(lower, Lower(word[i]));
    if (word[i] >= 0x80 && ScriptOf(word[i]) == Script::kLatin) ++accented_latin;
    // "AndalucÝa": a capital after a small letter, beyond ASCII, is a wrong page's sign.
    if (i > 0 && IsLower(word[i - 1]) && IsUpper(word[i]) && (word[i] >= 0x80)) score -= 1;
  }
  if (scripts.size() > 1) score -= 3;  // "BБcher": a page of another script
  // "Ïðèâåò": no Western language writes a word of accented letters only (Russian text read
  // in a Western page does).
  if (word.size() > 1 && accented_latin == word.size()) score -= static_cast<double>(word.size());
  if (CommonWords().count(lower) != 0) score += 4;
  return score;
}

// How each language reads the letters beyond ASCII of one word.
WordReading ReadWord(std::u32string_view word) {
  const std::vector<LetterShares>& languages = Languages();
  WordReading reading{Script::kOther, std::vector<double>(languages.size(), 0.0)};
  for (std::size_t i = 0; i < word.size(); ++i) {
    const Script script = ScriptOf(word[i]);
    if (word[i] < 0x80 || script == Script::kOther) continue;
    if (reading.script == Script::kOther) reading.script = script;
    const Neighbour before = i == 0 ? kBoundary : NeighbourOf(word[i - 1]);
    const Neighbour after = i + 1 == word.size() ? kBoundary : NeighbourOf(word[i + 1]);
    const char32_t lower = Lower(word[i]);
    for (std::size_t l = 0; l < languages.size(); ++l) {
      if (ScriptOfGroup(languages[l].group) == script) {
        reading.languages[l] += LetterValue(languages[l], lower, before, after);
      }
    }
  }
  return reading;
}

// Adds the score of one decoded text: characters beyond ASCII only (ASCII reads alike
// everywhere).
void ScoreText(const std::u32string& text, TextScore& score) {
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
      const std::u32string_view word = std::u32string_view(text).substr(word_start, i - word_start);
      score.other += ScoreWord(word);
      WordReading reading = ReadWord(word);
      if (reading.script != Script::kOther) score.words.push_back(std::move(reading));
    }
    if (i == text.size() || text[i] < 0x80) continue;
    const char32_t c = text[i];
    const bool before = i > 0 && IsLetter(text[i - 1]);
    const bool after = i + 1 < text.size() && IsLetter(text[i + 1]);
    if (letter && ScriptOf(c) != Script::kOther) {
      continue;  // read with its word
    } else if (letter) {
      score.other += EastAsianValue(c);
    } else if (IsEastAsianPunctuation(c)) {
      score.other += 0.5;
    } else if (IsOrdinaryPunctuation(c)) {
      score.other -= before && after && c != U'\u2019' ? 2 : 0;
    } else if (IsControl(c)) {
      score.other -= 3;
    } else if (IsBoxOrBlock(c)) {
      score.other -= before && after ? 3 : (before || after) ? 2 : 0.5;
    } else {
      score.other -= before && after ? 2 : (before || after) ? 1 : 0.25;
    }
  }
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
  constexpr int kOrder[] = {1252, 437, 850, 1251, 866, 1250, 852, 1254, 1257, 1253, 936, 950, 932, 65001};
  const auto* it = std::find(std::begin(kOrder), std::end(kOrder), page);
  return static_cast<int>(it - std::begin(kOrder));
}

}  // namespace

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

// Whether the best page and the next that reads the text otherwise score so alike that the text
// does not tell them apart. Pages that read it alike (German text in 437 and 850) are
// equivalent, not close.
bool TooCloseToCall(const std::vector<PageScore>& ranked, std::size_t high_bytes) {
  const auto other = std::find_if(ranked.begin(), ranked.end(),
                                  [](const PageScore& p) { return !p.reads_as_best; });
  if (ranked.empty() || other == ranked.end()) return false;
  if (high_bytes < kLittleEvidence) return other->score >= 0;  // a letter of some language
  return ranked[0].score - other->score < kTooCloseToCall;
}

std::vector<PageScore> RankCodePages(const std::vector<std::string>& texts,
                                     const std::vector<int>& pages, int preferred) {
  const std::vector<std::string> samples = SampleWords(texts);
  std::vector<PageScore> scores;
  std::unordered_map<int, std::string> readings;  // the whole text as each page reads it
  for (const int page : pages) {
    if (!os::CodePageAvailable(page)) continue;
    PageScore s{page};
    // Per character beyond ASCII as this page decodes it, so that a page of two-byte
    // characters is not judged by half its bytes; bytes that decode to nothing count too.
    TextScore total;
    std::size_t characters = 0;
    for (const std::string& text : texts) {
      const os::ConvertedText decoded = os::DecodeCodePage(page, text, os::OnFault::kReplace);
      readings[page] += decoded.text + '\n';
      const std::u32string code_points = CodePoints(decoded.text);
      ScoreText(code_points, total);
      total.other -= 3.0 * static_cast<double>(decoded.replaced);
      characters += decoded.replaced +
                    static_cast<std::size_t>(std::count_if(code_points.begin(), code_points.end(),
                                                           [](char32_t c) { return c >= 0x80; }));
    }
    // The table's own page gets one more well-read character: a byte or two that another page
    // reads as well do not overturn its mark.
    const double own = page == preferred ? 1 : 0;
    s.score = characters == 0 ? 0 : (total.Total() + own) / static_cast<double>(characters);
    for (const std::string& word : samples) {
      s.samples.push_back(os::DecodeCodePage(page, word, os::OnFault::kReplace).text);
    }
    scores.push_back(std::move(s));
  }
  // Best first; equal scores go to the table's own page, then to the more common pages. (A byte
  // or two beyond ASCII cannot tell pages apart, whatever the order: TooCloseToCall says so.)
  std::stable_sort(scores.begin(), scores.end(), [preferred](const PageScore& a, const PageScore& b) {
    if (std::abs(a.score - b.score) > 1e-9) return a.score > b.score;
    if ((a.page == preferred) != (b.page == preferred)) return a.page == preferred;
    return Commonness(a.page) < Commonness(b.page);
  });
  for (PageScore& s : scores) s.reads_as_best = readings[s.page] == readings[scores[0].page];
  return scores;
}

}  // namespace vx
