#include "graph/label_hint.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string_view>

namespace vantrel {
namespace {

LabelList labels_of(std::initializer_list<std::string_view> labels) {
  LabelArena arena;
  for (const std::string_view label : labels) arena.append(label);
  return std::move(arena).freeze();
}

TEST(EditDistance, CountsEditsAndStopsPastItsLimit) {
  EXPECT_EQ(edit_distance("_hypernim", "_hypernym", 9), 1u);
  EXPECT_EQ(edit_distance("kitten", "sitting", 9), 3u);
  EXPECT_EQ(edit_distance("", "abc", 9), 3u);
  EXPECT_EQ(edit_distance("same", "same", 0), 0u);
  EXPECT_EQ(edit_distance("kitten", "sitting", 2), 3u);  // limit + 1
  EXPECT_EQ(edit_distance("a", "abcdef", 2), 3u);
}

TEST(UnknownLabelHint, NamesTheClosestLabels) {
  const LabelList wordnet = labels_of({"_hypernym", "_hyponym", "_member_meronym", "_also_see"});
  EXPECT_EQ(unknown_label_hint("_hypernim", wordnet), "did you mean '_hypernym'?");
  EXPECT_EQ(unknown_label_hint("_hypo_nym", wordnet), "did you mean '_hyponym'?");
  const LabelList ties = labels_of({"abcx", "abcy", "abcz", "abcw"});
  EXPECT_EQ(unknown_label_hint("abcd", ties), "did you mean 'abcx', 'abcy' or 'abcz'?");
  EXPECT_EQ(unknown_label_hint("abd", labels_of({"abc", "abe"})), "did you mean 'abc' or 'abe'?");
  // Too far from every label: no guess.
  EXPECT_EQ(unknown_label_hint("located_in", wordnet), "");
  EXPECT_EQ(unknown_label_hint("x", labels_of({})), "");
}

TEST(UnknownLabelHint, SaysWhenTheRelationsAreIris) {
  const LabelList rdf = labels_of({"http://schema.org/name", "http://www.wikidata.org/prop/direct/P31"});
  EXPECT_EQ(unknown_label_hint("wdt:P31", rdf),
            "the graph's relations are IRIs, such as 'http://schema.org/name': give the full IRI, without angle "
            "brackets");
  EXPECT_EQ(unknown_label_hint("http://schema.org/nam", rdf), "did you mean 'http://schema.org/name'?");
  EXPECT_EQ(unknown_label_hint("http://example.org/p", rdf), "");
  EXPECT_EQ(unknown_label_hint("wdt:P31", labels_of({"http://schema.org/name", "P31"})), "");
}

}  // namespace
}  // namespace vantrel
