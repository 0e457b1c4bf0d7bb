// The search of the discovery page: which of a federation's IdPs match
// every word a person typed, best first. Thousands of IdPs are searched on
// every keystroke, so the texts are kept as UTF-8 in C++ and each word is
// looked up with memmem; velmora_saml.discovery folds the texts (case,
// accents) and the query before they come here. A byte match of UTF-8 text
// in UTF-8 text always starts and ends on a character's boundary, and byte
// order is code-point order, so nothing here depends on decoding.
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "federation.hpp"

namespace federation {

namespace {

constexpr const char* kCapsuleName = "velmora_saml.federation.ChoiceIndex";

// One IdP: its names' words and its other words (keywords, scopes,
// domains), each between single spaces with one space at each end, so
// that " word" finds a word's start and " word " a whole word.
struct Choice {
  std::string names;
  std::string others;
  std::string haystack;  // names "|" others
  std::string sort_key;
};

struct ChoiceIndexData {
  std::vector<Choice> choices;
};

void delete_index(PyObject* capsule) {
  delete static_cast<ChoiceIndexData*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

std::string utf8_of(PyObject* text, const char* what) {
  if (!PyUnicode_Check(text)) vs::raise_format(PyExc_TypeError, "%s must be str, not %.100s", what, Py_TYPE(text)->tp_name);
  Py_ssize_t length = 0;
  const char* data = vs::check_pointer(PyUnicode_AsUTF8AndSize(text, &length));
  return std::string(data, static_cast<size_t>(length));
}

bool contains(const std::string& haystack, const std::string& needle) {
  return memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// A word of the query: itself, its padded forms, and its parts (the words
// of "uni-koln.example"), any of which may match instead of the whole.
struct Word {
  std::string word, whole_word, word_start;
  std::vector<std::string> parts;
};

bool parts_match(const Choice& choice, const Word& word) {
  if (word.parts.empty()) return false;
  for (const std::string& part : word.parts)
    if (!contains(choice.haystack, part)) return false;
  return true;
}

// How well the choice matches every word, -1 when it does not: a whole word
// of a name counts most, then a word's start, then a keyword, scope or domain.
int score(const Choice& choice, const std::vector<Word>& words) {
  int total = 0;
  for (const Word& word : words) {
    if (!contains(choice.haystack, word.word)) {
      if (!parts_match(choice, word)) return -1;
      total += 1;
    } else if (contains(choice.names, word.whole_word)) {
      total += 6;
    } else if (contains(choice.names, word.word_start)) {
      total += 4;
    } else if (contains(choice.names, word.word)) {
      total += 2;
    } else if (contains(choice.others, word.whole_word)) {
      total += 3;
    } else if (contains(choice.others, word.word_start)) {
      total += 2;
    } else if (contains(choice.others, word.word)) {
      total += 1;
    } else if (parts_match(choice, word)) {
      total += 1;
    } else {
      return -1;  // found only across the names and the others
    }
  }
  return total;
}

ChoiceIndexData& index_of(PyObject* capsule) {
  return *static_cast<ChoiceIndexData*>(vs::check_pointer(PyCapsule_GetPointer(capsule, kCapsuleName)));
}

}  // namespace

// choice_index(choices): choices are (names_text, other_text, sort_key) triples.
Ref choice_index(const Args& a) {
  auto data = std::make_unique<ChoiceIndexData>();
  Ref iterator = vs::iterate(a[0]);
  while (Ref entry = vs::next(iterator.get())) {
    if (!PyTuple_Check(entry.get()) || vs::size(entry.get()) != 3)
      vs::raise_new(PyExc_TypeError, "a choice must be a (names_text, other_text, sort_key) tuple");
    Choice choice;
    choice.names = utf8_of(vs::item(entry.get(), 0).get(), "names_text");
    choice.others = utf8_of(vs::item(entry.get(), 1).get(), "other_text");
    choice.sort_key = utf8_of(vs::item(entry.get(), 2).get(), "sort_key");
    choice.haystack = choice.names + "|" + choice.others;
    data->choices.push_back(std::move(choice));
  }
  Ref capsule = vs::check(PyCapsule_New(data.get(), kCapsuleName, delete_index));
  data.release();
  return capsule;
}

// search_choices(index, words, whole, boosted, limit): (the indices of the
// best `limit` choices that match every word, how many match). words:
// [(word, parts or None)]; a choice whose sort key starts with `whole` gains
// 3, one in `boosted` (indices) 100; ties go by sort key, then index.
Ref search_choices(const Args& a) {
  std::vector<Word> words;
  Ref word_iterator = vs::iterate(a[1]);
  while (Ref entry = vs::next(word_iterator.get())) {
    if (!PyTuple_Check(entry.get()) || vs::size(entry.get()) != 2)
      vs::raise_new(PyExc_TypeError, "a word must be a (word, parts) tuple");
    Word word;
    word.word = utf8_of(vs::item(entry.get(), 0).get(), "word");
    word.whole_word = " " + word.word + " ";
    word.word_start = " " + word.word;
    Ref parts = vs::item(entry.get(), 1);
    if (parts.get() != Py_None) {
      Ref part_iterator = vs::iterate(parts.get());
      while (Ref part = vs::next(part_iterator.get())) word.parts.push_back(utf8_of(part.get(), "part"));
    }
    words.push_back(std::move(word));
  }
  std::string whole = utf8_of(a[2], "whole");
  std::vector<Py_ssize_t> boosted;
  Ref boosted_iterator = vs::iterate(a[3]);
  while (Ref number = vs::next(boosted_iterator.get())) boosted.push_back(vs::as_ssize(number.get()));
  Py_ssize_t limit = vs::as_ssize(a[4]);
  // Read last: the calls above may run Python code (iterators, __index__).
  const ChoiceIndexData& data = index_of(a[0]);

  struct Ranked {
    int score;
    size_t number;
  };
  std::vector<Ranked> ranked;
  for (size_t number = 0; number < data.choices.size(); ++number) {
    const Choice& choice = data.choices[number];
    int found = score(choice, words);
    if (found < 0) continue;
    if (choice.sort_key.compare(0, whole.size(), whole) == 0) found += 3;
    if (std::find(boosted.begin(), boosted.end(), static_cast<Py_ssize_t>(number)) != boosted.end()) found += 100;
    ranked.push_back({found, number});
  }
  auto better = [&](const Ranked& x, const Ranked& y) {
    if (x.score != y.score) return x.score > y.score;
    int order = data.choices[x.number].sort_key.compare(data.choices[y.number].sort_key);
    return order != 0 ? order < 0 : x.number < y.number;
  };
  size_t shown = std::min(ranked.size(), static_cast<size_t>(std::max<Py_ssize_t>(limit, 0)));
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(shown), ranked.end(), better);
  Ref numbers = vs::new_list();
  for (size_t i = 0; i < shown; ++i) vs::append(numbers.get(), vs::integer(static_cast<long>(ranked[i].number)).get());
  return vs::tuple_of({numbers.get(), vs::integer(static_cast<long>(ranked.size())).get()});
}

}  // namespace federation
