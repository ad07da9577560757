#include "graph/label_hint.hpp"

#include <gtest/gtest.h>

#include "graph_support.hpp"

namespace vantrel {
namespace {

TEST(EditDistance, CountsEditsAndStopsPastItsLimit) {
  EXPECT_EQ(edit_distance("_hypernim", "_hypernym", 9), 1u);
  EXPECT_EQ(edit_distance("kitten", "sitting", 9), 3u);
  EXPECT_EQ(edit_distance("", "abc", 9), 3u);
  EXPECT_EQ(edit_distance("same", "same", 0), 0u);
  EXPECT_EQ(edit_distance("kitten", "sitting", 2), 3u);  // limit + 1
  EXPECT_EQ(edit_distance("a", "abcdef", 2), 3u);
}

TEST(UnknownLabelHint, NamesTheClosestLabels) {
  const LabelList wordnet = label_list({"_hypernym", "_hyponym", "_member_meronym", "_also_see"});
  EXPECT_EQ(unknown_label_hint("_hypernim", wordnet), "did you mean '_hypernym'?");
  EXPECT_EQ(unknown_label_hint("_hypo_nym", wordnet), "did you mean '_hyponym'?");
  const LabelList ties = label_list({"abcx", "abcy", "abcz", "abcw"});
  EXPECT_EQ(unknown_label_hint("abcd", ties), "did you mean 'abcx', 'abcy' or 'abcz'?");
  EXPECT_EQ(unknown_label_hint("abd", label_list({"abc", "abe"})), "did you mean 'abc' or 'abe'?");
  // Too far from every label: no guess.
  EXPECT_EQ(unknown_label_hint("located_in", wordnet), "");
  EXPECT_EQ(unknown_label_hint("x", label_list({})), "");
}

TEST(UnknownLabelHint, SaysWhenTheRelationsAreIris) {
  const LabelList rdf = label_list({"http://schema.org/name", "http://www.wikidata.org/prop/direct/P31"});
  EXPECT_EQ(unknown_label_hint("wdt:P31", rdf),
            "the graph's relations are IRIs, such as 'http://schema.org/name': give the full IRI, without angle "
            "brackets");
  EXPECT_EQ(unknown_label_hint("http://schema.org/nam", rdf), "did you mean 'http://schema.org/name'?");
  EXPECT_EQ(unknown_label_hint("http://example.org/p", rdf), "");
  EXPECT_EQ(unknown_label_hint("wdt:P31", label_list({"http://schema.org/name", "P31"})), "");
}

}  // namespace
}  // namespace vantrel
