// Labels: storage of many short texts addressed by dense ids, their hash and
// comparison, and the table that interns them (the first occurrence of a
// text gets the next id, later occurrences find it again).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/memory.hpp"
#include "core/utf8.hpp"

namespace vantrel {

// Labels stored back to back and addressed by dense ids; read-only. Its
// arrays are owned or a view into a mapped file (see ArrayRegion).
class LabelList {
 public:
  LabelList() = default;
  // `offsets` holds size + 1 ascending byte offsets into `bytes`, starting
  // at 0; `ascii` one flag per label.
  LabelList(ArrayRegion<char> bytes, ArrayRegion<std::uint64_t> offsets, ArrayRegion<std::uint8_t> ascii)
      : bytes_(std::move(bytes)), offsets_(std::move(offsets)), ascii_(std::move(ascii)) {}

  std::uint64_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }

  std::string_view operator[](std::uint64_t id) const {
    return {bytes_.data() + offsets_[id], static_cast<std::size_t>(offsets_[id + 1] - offsets_[id])};
  }

  // True if the label holds ASCII bytes only.
  bool is_ascii_label(std::uint64_t id) const { return ascii_[id] != 0; }

  const ArrayRegion<char>& bytes() const { return bytes_; }
  const ArrayRegion<std::uint64_t>& offsets() const { return offsets_; }
  const ArrayRegion<std::uint8_t>& ascii_flags() const { return ascii_; }

 private:
  ArrayRegion<char> bytes_;
  ArrayRegion<std::uint64_t> offsets_;
  ArrayRegion<std::uint8_t> ascii_;
};

// Labels being collected, appended one at a time; frozen into a LabelList.
class LabelArena {
 public:
  LabelArena() { offsets_.push_back(0); }

  // Stores a copy of `text` and returns its id (the number of labels before it).
  std::uint64_t append(std::string_view text);

  std::uint64_t size() const { return offsets_.size() - 1; }

  std::string_view operator[](std::uint64_t id) const {
    return {bytes_.data() + offsets_[id], static_cast<std::size_t>(offsets_[id + 1] - offsets_[id])};
  }

  // The labels as a read-only list, without copying them.
  LabelList freeze() &&;

 private:
  std::vector<char> bytes_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::uint8_t> ascii_;
};

// The hash of a label's bytes used to intern it.
std::uint64_t hash_label(std::string_view text);

// Byte-wise equality, inlined: labels are short, and a library call per
// comparison costs more than the comparison.
inline bool same_label(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  auto load64 = [](const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
  };
  auto load32 = [](const char* at) {
    std::uint32_t word;
    std::memcpy(&word, at, 4);
    return word;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      if (load64(p + i) != load64(q + i)) return false;
    }
    return load64(p + n - 8) == load64(q + n - 8);
  }
  if (n >= 4) return load32(p) == load32(q) && load32(p + n - 4) == load32(q + n - 4);
  if (n == 0) return true;
  return p[0] == q[0] && p[n >> 1] == q[n >> 1] && p[n - 1] == q[n - 1];
}

// Finds labels' ids in a LabelList: open addressing over the ids alone,
// built once, comparing with the list's own bytes, so that it keeps no
// second copy of any label. The list must outlive the index.
class LabelIndex {
 public:
  // Indexes every label of `labels`. Throws std::bad_alloc.
  explicit LabelIndex(const LabelList& labels);
  // The id of `text`, or nothing if no label is `text`. Where a list holds
  // a text twice (which no built graph does), the lower id.
  std::optional<std::uint64_t> find(std::string_view text) const;
  // The labels indexed.
  const LabelList& labels() const { return labels_; }

 private:
  const LabelList& labels_;
  std::vector<std::uint64_t> slots_;  // id + 1, or 0 for an empty slot
  std::uint64_t mask_;
  unsigned shift_;  // the home slot is the hash's top bits, as in LabelTable
};

// Interns labels: the first occurrence of a text gets the next dense id,
// later occurrences find it again. Open addressing with linear probing. A
// slot keeps a label's length, hash bits and first 16 bytes, so that a
// lookup of a short label (most node ids of real graphs) is settled in the
// slot without reading the label store. KeyHashBits: how many of the
// hash's top bits the slot keeps (fewer only to test growth past them).
template <class Id, unsigned KeyHashBits = 24>
class LabelTable {
 public:
  LabelTable() : slots_(empty_slots(kInitialCapacity)), mask_(kInitialCapacity - 1), shift_(64 - kInitialBits) {}
  // A table of the labels of `labels`, which keep their ids (they must be
  // distinct, as a table's own are).
  explicit LabelTable(LabelArena labels) : LabelTable() {
    reserve(labels.size());
    for (std::uint64_t id = 0; id < labels.size(); ++id) {
      const std::string_view text = labels[id];
      const std::uint64_t hash = hash_label(text);
      std::size_t index = home(hash);
      while (slots_[index].id != kEmpty) index = (index + 1) & mask_;
      Slot& slot = slots_.mutable_data()[index];
      slot.id = static_cast<Id>(id);
      slot.key = key_of(hash, text.size());
      fill_prefix(text, slot.prefix);
    }
    labels_ = std::move(labels);
  }

  // Makes room for `labels` labels without growing.
  void reserve(std::uint64_t labels) {
    while (slots_.size() < 2 * labels) grow();
  }

  // The id of `text`, appending it as a new label on its first occurrence.
  Id intern(std::string_view text) { return intern_hashed(text, hash_label(text)); }
  // The same, with `hash` = hash_label(text) computed beforehand.
  Id intern_hashed(std::string_view text, std::uint64_t hash);

  // Starts loading the home slot of `hash`, ahead of a batch of lookups.
  void prefetch_slot(std::uint64_t hash) const {
    const Slot* slot = slots_.data() + home(hash);
    __builtin_prefetch(slot);
    __builtin_prefetch(reinterpret_cast<const char*>(slot + 1) - 1);
  }

  std::uint64_t size() const { return labels_.size(); }

  // Gives up the lookup structure and keeps the labels, still growable.
  LabelArena take_labels() && {
    slots_ = ArrayRegion<Slot>();
    return std::move(labels_);
  }

  // Gives up the lookup structure and keeps the labels.
  LabelList release() && {
    slots_ = ArrayRegion<Slot>();
    return std::move(labels_).freeze();
  }

 private:
  static constexpr unsigned kInitialBits = 4;
  static constexpr std::size_t kInitialCapacity = std::size_t{1} << kInitialBits;
  static constexpr std::size_t kInline = 16;
  static constexpr unsigned kKeyHashBits = KeyHashBits;
  static constexpr Id kEmpty = static_cast<Id>(-1);
  struct Slot {
    Id id = kEmpty;
    std::uint32_t key = 0;      // length (capped at 255) in the low byte, the hash's top bits above
    char prefix[kInline] = {};  // the label's first bytes, zero-padded
  };
  // The home slot comes from the hash's top bits, which the key keeps too:
  // when the table doubles, a slot's entry moves to twice its index or one
  // more, so growing walks both tables in order.
  std::size_t home(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }
  static std::uint32_t key_of(std::uint64_t hash, std::size_t length) {
    return static_cast<std::uint32_t>(hash >> (64 - kKeyHashBits)) << 8 |
           static_cast<std::uint32_t>(length < 255 ? length : 255);
  }
  static void fill_prefix(std::string_view text, char (&prefix)[kInline]) {
    std::memset(prefix, 0, kInline);
    std::memcpy(prefix, text.data(), text.size() < kInline ? text.size() : kInline);
  }
  void grow();
  // An array of `count` empty slots, on huge pages when it is large: the
  // lookups of a big graph's build land all over it.
  static ArrayRegion<Slot> empty_slots(std::size_t count) {
    ArrayRegion<Slot> slots = ArrayRegion<Slot>::allocate(count);
    std::uninitialized_fill_n(slots.mutable_data(), count, Slot{});
    return slots;
  }

  ArrayRegion<Slot> slots_;
  std::size_t mask_;
  unsigned shift_;
  LabelArena labels_;
};

// ---------------------------------------------------------------------------
// Interning is the inner loop of building a graph: its bodies stay in the
// header so that they inline into the builder.

template <class Id, unsigned KeyHashBits>
Id LabelTable<Id, KeyHashBits>::intern_hashed(std::string_view text, std::uint64_t hash) {
  const std::uint32_t key = key_of(hash, text.size());
  char prefix[kInline];
  fill_prefix(text, prefix);
  for (std::size_t index = home(hash);; index = (index + 1) & mask_) {
    Slot& slot = slots_.mutable_data()[index];
    if (slot.id == kEmpty) {
      slot.id = static_cast<Id>(labels_.append(text));
      slot.key = key;
      std::memcpy(slot.prefix, prefix, kInline);
      const Id id = slot.id;
      if (labels_.size() * 2 > slots_.size()) grow();
      return id;
    }
    if (slot.key == key && std::memcmp(slot.prefix, prefix, kInline) == 0 &&
        (text.size() <= kInline || same_label(labels_[slot.id], text))) {
      return slot.id;
    }
  }
}

template <class Id, unsigned KeyHashBits>
void LabelTable<Id, KeyHashBits>::grow() {
  ArrayRegion<Slot> old = std::exchange(slots_, empty_slots(slots_.size() * 2));
  Slot* const slots = slots_.mutable_data();
  mask_ = slots_.size() - 1;
  --shift_;
  const unsigned index_bits = 64 - shift_;
  for (const Slot& slot : old.span()) {
    if (slot.id == kEmpty) continue;
    std::size_t index;
    if (index_bits <= kKeyHashBits) {
      index = (slot.key >> 8) >> (kKeyHashBits - index_bits);
    } else {
      // Beyond what the key holds: hash the label again (a short one is whole in its slot).
      const std::size_t length = slot.key & 0xFF;
      index = home(hash_label(length <= kInline ? std::string_view(slot.prefix, length) : labels_[slot.id]));
    }
    while (slots[index].id != kEmpty) index = (index + 1) & mask_;
    slots[index] = slot;
  }
}

}  // namespace vantrel
