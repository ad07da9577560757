#include "graph/label_hint.hpp"

#include <algorithm>
#include <vector>

namespace vantrel {

std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit) {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.size() - a.size() > limit) return limit + 1;
  // One row of the dynamic programme, over the shorter string.
  std::vector<std::size_t> row(a.size() + 1);
  for (std::size_t i = 0; i <= a.size(); ++i) row[i] = i;
  for (std::size_t j = 1; j <= b.size(); ++j) {
    std::size_t diagonal = row[0];
    row[0] = j;
    std::size_t best = row[0];
    for (std::size_t i = 1; i <= a.size(); ++i) {
      const std::size_t above = row[i];
      row[i] = std::min({row[i] + 1, row[i - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
      best = std::min(best, row[i]);
    }
    if (best > limit) return limit + 1;
  }
  return std::min(row[a.size()], limit + 1);
}

std::string unknown_label_hint(std::string_view name, const LabelList& labels) {
  constexpr std::size_t kMostNamed = 3;
  const std::size_t limit = std::max<std::size_t>(1, name.size() / 3);
  std::size_t best = limit + 1;
  std::vector<std::string_view> closest;
  bool all_iris = labels.size() > 0;
  for (std::uint64_t id = 0; id < labels.size(); ++id) {
    const std::string_view label = labels[id];
    all_iris = all_iris && label.find("://") != std::string_view::npos;
    const std::size_t distance = edit_distance(name, label, std::min(best, limit));
    if (distance < best) {
      best = distance;
      closest.clear();
    }
    if (distance == best && distance <= limit && closest.size() < kMostNamed) closest.push_back(label);
  }
  std::string hint;
  if (!closest.empty()) {
    hint = "did you mean ";
    // Appended piece by piece: g++ 12 warns of overlapping copies in
    // "text" + std::string(...) (its bug 105329).
    for (std::size_t i = 0; i < closest.size(); ++i) {
      if (i > 0) hint.append(i + 1 == closest.size() ? " or " : ", ");
      hint.append("'").append(closest[i]).append("'");
    }
    hint.append("?");
  } else if (all_iris && name.find("://") == std::string_view::npos) {
    hint.append("the graph's relations are IRIs, such as '")
        .append(labels[0])
        .append("': give the full IRI, without angle brackets");
  }
  return hint;
}

}  // namespace vantrel
