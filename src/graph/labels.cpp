#include "graph/labels.hpp"

namespace vantrel {

namespace {

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

// The last step of hash_label: folds the high bits into the low ones, so
// that the table's home slots (the top bits) and keys depend on every byte.
inline std::uint64_t finish_hash(std::uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

}  // namespace

std::uint64_t LabelArena::append(std::string_view text) {
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  offsets_.push_back(bytes_.size());
  ascii_.push_back(is_ascii(text) ? 1 : 0);
  return offsets_.size() - 2;
}

LabelList LabelArena::freeze() && {
  return LabelList(ArrayRegion<char>::adopt(std::move(bytes_)), ArrayRegion<std::uint64_t>::adopt(std::move(offsets_)),
                   ArrayRegion<std::uint8_t>::adopt(std::move(ascii_)));
}

std::uint64_t hash_label(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t h = kMultiplier ^ n;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 29;
  }
  if (n > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    h = (h ^ word) * kMultiplier;
  }
  return finish_hash(h);
}

LabelIndex::LabelIndex(const LabelList& labels) : labels_(labels) {
  unsigned bits = 4;
  while ((std::uint64_t{1} << bits) < labels.size() + labels.size() / 2) ++bits;  // at most two thirds full
  slots_.assign(std::size_t{1} << bits, 0);
  mask_ = (std::uint64_t{1} << bits) - 1;
  shift_ = 64 - bits;
  for (std::uint64_t id = 0; id < labels.size(); ++id) {
    std::uint64_t slot = hash_label(labels[id]) >> shift_;
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = id + 1;
  }
}

std::optional<std::uint64_t> LabelIndex::find(std::string_view text) const {
  for (std::uint64_t slot = hash_label(text) >> shift_; slots_[slot] != 0; slot = (slot + 1) & mask_) {
    const std::uint64_t id = slots_[slot] - 1;
    if (same_label(labels_[id], text)) return id;
  }
  return std::nullopt;
}

}  // namespace vantrel
