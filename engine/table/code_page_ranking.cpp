#include "engine/table/code_page_ranking.h"

#include <algorithm>
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

std::size_t HighBytes(const std::vector<std::string>& texts) {
  std::size_t high = 0;
  for (const std::string& text : texts) {
    high += static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
  }
  return high;
}

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

// The letters beyond ASCII of the languages the candidate pages serve, in lower case, each
// with its share of all letters of ordinary text in percent. A page that turns the stored bytes
// into one language's letters in about their usual shares reads the text; letters the language
// lacks count against it. (Rounded shares from letter counts of ordinary prose.)
struct Language {
  Script script;
  const char* letters;  // "ä 0.54 ö 0.30 ...", UTF-8
};
constexpr Language kLanguages[] = {
    {Script::kLatin, "ä 0.54 ö 0.30 ü 0.65 ß 0.31"},  // German
    {Script::kLatin,
     "é 1.9 è 0.27 ê 0.22 à 0.49 â 0.05 ç 0.09 ù 0.06 û 0.06 î 0.05 ï 0.01 ô 0.02 ë 0.01 "
     "œ 0.02"},                                                           // French
    {Script::kLatin, "á 0.5 é 0.43 í 0.72 ó 0.83 ú 0.17 ñ 0.31 ü 0.01"},  // Spanish
    {Script::kLatin,
     "á 0.12 â 0.56 ã 0.73 à 0.07 ç 0.53 é 0.34 ê 0.45 í 0.13 ó 0.3 ô 0.64 õ 0.04 ú 0.21"},
    // Portuguese
    {Script::kLatin, "à 0.64 è 0.26 é 0.03 ì 0.03 ò 0.1 ù 0.17"},                      // Italian
    {Script::kLatin, "å 1.34 ä 1.8 ö 1.31"},                                           // Swedish
    {Script::kLatin, "æ 0.87 ø 0.94 å 1.19"},                                          // Danish
    {Script::kLatin, "ä 3.6 ö 0.44"},                                                  // Finnish
    {Script::kLatin, "ą 0.99 ć 0.4 ę 1.11 ł 1.82 ń 0.2 ó 0.85 ś 0.66 ź 0.06 ż 0.83"},  // Polish
    {Script::kLatin,
     "á 0.87 č 0.46 ď 0.02 é 0.63 ě 1.22 í 1.64 ň 0.08 ó 0.02 ř 0.38 š 0.69 ť 0.04 ú 0.05 "
     "ů 0.2 ý 1.0 ž 0.72"},  // Czech
    {Script::kLatin,
     "á 2.1 ä 0.07 č 0.9 ď 0.1 é 0.8 í 1.6 ĺ 0.01 ľ 0.4 ň 0.1 ó 0.1 ô 0.2 ŕ 0.01 š 0.8 ť 0.5 "
     "ú 0.7 ý 1.4 ž 0.8"},                                                      // Slovak
    {Script::kLatin, "á 3.5 é 3.9 í 0.6 ó 1.0 ö 1.0 ő 0.9 ú 0.3 ü 0.5 ű 0.2"},  // Hungarian
    {Script::kLatin, "ă 2.0 â 0.6 î 1.0 ș 1.2 ş 1.2 ț 1.0 ţ 1.0"},              // Romanian
    {Script::kLatin, "č 1.1 ć 0.9 đ 0.3 š 1.0 ž 0.7"},  // Croatian, Slovene, Serbian
    {Script::kCyrillic,
     "а 8.0 б 1.6 в 4.5 г 1.7 д 3.0 е 8.5 ё 0.04 ж 0.94 з 1.65 и 7.35 й 1.21 к 3.49 л 4.4 "
     "м 3.21 н 6.7 о 11.0 п 2.81 р 4.73 с 5.47 т 6.26 у 2.62 ф 0.26 х 0.97 ц 0.48 ч 1.44 "
     "ш 0.73 щ 0.36 ъ 0.04 ы 1.9 ь 1.74 э 0.32 ю 0.64 я 2.01"},  // Russian
    {Script::kCyrillic,
     "а 7.2 б 1.6 в 4.6 г 1.6 ґ 0.01 д 3.3 е 5.0 є 0.4 ж 0.9 з 2.3 и 6.1 і 5.9 ї 0.6 й 1.0 "
     "к 3.5 л 3.6 м 3.0 н 6.5 о 9.4 п 2.8 р 4.5 с 4.2 т 5.0 у 3.3 ф 0.3 х 1.2 ц 0.7 ч 1.4 "
     "ш 0.8 щ 0.5 ь 1.6 ю 0.8 я 2.9"},  // Ukrainian
    {Script::kCyrillic,
     "а 9.0 б 1.3 в 4.5 г 1.7 д 3.2 е 8.0 ж 0.7 з 1.7 и 7.5 й 0.5 к 3.5 л 3.2 м 2.6 н 7.4 "
     "о 8.5 п 2.8 р 5.3 с 4.5 т 7.0 у 1.2 ф 0.2 х 0.6 ц 0.7 ч 1.3 ш 0.5 щ 0.6 ъ 2.0 ь 0.01 "
     "ю 0.2 я 2.2"},  // Bulgarian
    {Script::kCyrillic,
     "а 11 б 1.5 в 3.2 г 1.6 д 3.4 ђ 0.2 е 8.6 ж 0.7 з 1.6 и 9.5 ј 5.1 к 3.6 л 2.9 љ 0.5 м 3.2 "
     "н 5.2 њ 0.6 о 9.0 п 2.8 р 4.3 с 4.6 т 4.4 ћ 0.9 у 4.0 ф 0.2 х 0.5 ц 0.6 ч 1.0 џ 0.1 "
     "ш 0.7"},  // Serbian
};

// Letter shares per language (lower case), read from kLanguages once.
struct LetterShares {
  Script script;
  std::unordered_map<char32_t, double> share;
};
const std::vector<LetterShares>& Languages() {
  static const std::vector<LetterShares> kShares = [] {
    std::vector<LetterShares> all;
    for (const Language& language : kLanguages) {
      LetterShares shares{language.script, {}};
      const std::string_view text(language.letters);
      for (std::size_t pos = 0; pos < text.size();) {
        const char32_t letter = os::NextCodePoint(text, pos);
        const std::size_t end = std::min(text.find(' ', pos + 1), text.size());
        shares.share[letter] =
            std::strtod(std::string(text.substr(pos, end - pos)).c_str(), nullptr);
        pos = std::min(end + 1, text.size());
      }
      all.push_back(std::move(shares));
    }
    return all;
  }();
  return kShares;
}

// The value of one letter to a language: frequent letters count more, rare ones less, and one
// the language does not have counts against it.
double LetterValue(const LetterShares& language, char32_t lower) {
  const auto it = language.share.find(lower);
  if (it == language.share.end()) return -1;
  return std::clamp(1 + 0.4 * std::log10(it->second), 0.2, 1.4);
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
bool IsLower(char32_t cp) { return os::UpperCodePoint(cp) != cp; }
bool IsUpper(char32_t cp) { return os::LowerCodePoint(cp) != cp; }

// What one page made of the text: the letter values under each language, and everything else
// (East Asian characters, symbols, controls, words).
struct TextScore {
  double other = 0;
  std::vector<double> languages = std::vector<double>(Languages().size(), 0.0);

  // The letters read as the best language of each script, and the rest.
  double Total() const {
    double best_by_script[3] = {0, 0, 0};
    bool seen[3] = {false, false, false};
    for (std::size_t i = 0; i < languages.size(); ++i) {
      const auto s = static_cast<std::size_t>(Languages()[i].script);
      if (!seen[s] || languages[i] > best_by_script[s]) best_by_script[s] = languages[i];
      seen[s] = true;
    }
    return other + best_by_script[0] + best_by_script[1] + best_by_script[2];
  }
};

// The score of one word (a run of letters) holding a character beyond ASCII.
double ScoreWord(std::u32string_view word) {
  double score = 0;
  std::set<Script> scripts;
  std::string lower;
  std::size_t accented_latin = 0;
  for (std::size_t i = 0; i < word.size(); ++i) {
    scripts.insert(ScriptOf(word[i]));
    os::AppendCodePoint(lower, os::LowerCodePoint(word[i]));
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

// Adds the score of one decoded text: characters beyond ASCII only (ASCII reads alike
// everywhere).
void ScoreText(const std::u32string& text, TextScore& score) {
  const std::vector<LetterShares>& languages = Languages();
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
      score.other += ScoreWord(std::u32string_view(text).substr(word_start, i - word_start));
    }
    if (i == text.size() || text[i] < 0x80) continue;
    const char32_t c = text[i];
    const bool before = i > 0 && IsLetter(text[i - 1]);
    const bool after = i + 1 < text.size() && IsLetter(text[i + 1]);
    const Script script = ScriptOf(c);
    if (letter && (script == Script::kLatin || script == Script::kCyrillic)) {
      const char32_t lower = os::LowerCodePoint(c);
      for (std::size_t l = 0; l < languages.size(); ++l) {
        if (languages[l].script == script) score.languages[l] += LetterValue(languages[l], lower);
      }
    } else if (letter && script == Script::kGreek) {
      score.other -= 1;  // no candidate page is a Greek one: Greek letters are another page's
    } else if (letter) {
      score.other += EastAsianValue(c);
    } else if (IsEastAsianPunctuation(c)) {
      score.other += 0.5;
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
  constexpr int kOrder[] = {1252, 437, 850, 1251, 866, 1250, 852, 936, 950, 932, 65001};
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

// Whether the best two pages score so alike that the text does not tell them apart (437 and
// 850 on German text hold its letters at the same bytes, for one).
bool TooCloseToCall(const std::vector<PageScore>& ranked, std::size_t high_bytes) {
  if (ranked.size() < 2) return false;
  if (high_bytes < kLittleEvidence) return ranked[1].score > 0;
  return ranked[0].score - ranked[1].score < kTooCloseToCall;
}

std::vector<PageScore> RankCodePages(const std::vector<std::string>& texts,
                                     const std::vector<int>& pages, int preferred) {
  const std::vector<std::string> samples = SampleWords(texts);
  std::vector<PageScore> scores;
  for (const int page : pages) {
    if (!os::CodePageAvailable(page)) continue;
    PageScore s{page};
    // Per character beyond ASCII as this page decodes it, so that a page of two-byte
    // characters is not judged by half its bytes; bytes that decode to nothing count too.
    TextScore total;
    std::size_t characters = 0;
    for (const std::string& text : texts) {
      const os::ConvertedText decoded = os::DecodeCodePage(page, text, os::OnFault::kReplace);
      const std::u32string code_points = CodePoints(decoded.text);
      ScoreText(code_points, total);
      total.other -= 3.0 * static_cast<double>(decoded.replaced);
      characters += decoded.replaced +
                    static_cast<std::size_t>(std::count_if(code_points.begin(), code_points.end(),
                                                           [](char32_t c) { return c >= 0x80; }));
    }
    s.score = characters == 0 ? 0 : total.Total() / static_cast<double>(characters);
    for (const std::string& word : samples) {
      s.samples.push_back(os::DecodeCodePage(page, word, os::OnFault::kReplace).text);
    }
    scores.push_back(std::move(s));
  }
  // A byte or two beyond ASCII cannot tell pages apart (one "ñ" is as good an "с"): then only
  // whether a page reads them as letters at all counts.
  const bool little = HighBytes(texts) < kLittleEvidence;
  std::stable_sort(scores.begin(), scores.end(),
                   [preferred, little](const PageScore& a, const PageScore& b) {
                     if (little && (a.score > 0) != (b.score > 0)) return a.score > 0;
                     if (!little && std::abs(a.score - b.score) > 1e-9) return a.score > b.score;
                     if ((a.page == preferred) != (b.page == preferred)) {
                       return a.page == preferred;
                     }
                     return Commonness(a.page) < Commonness(b.page);
                   });
  return scores;
}

}  // namespace vx
