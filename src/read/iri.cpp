#include "read/iri.hpp"

#include <optional>

namespace vantrel {

namespace {

// An IRI reference cut into RFC 3986's five parts; a part that is absent
// is nullopt (the path is always there, perhaps empty).
struct IriParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
  std::optional<std::string_view> fragment;
};

IriParts split(std::string_view text) {
  IriParts parts;
  if (is_absolute_iri(text)) {
    const std::size_t colon = text.find(':');
    parts.scheme = text.substr(0, colon);
    text.remove_prefix(colon + 1);
  }
  if (const std::size_t hash = text.find('#'); hash != std::string_view::npos) {
    parts.fragment = text.substr(hash + 1);
    text = text.substr(0, hash);
  }
  if (const std::size_t question = text.find('?'); question != std::string_view::npos) {
    parts.query = text.substr(question + 1);
    text = text.substr(0, question);
  }
  if (text.starts_with("//")) {
    const std::size_t slash = text.find('/', 2);
    parts.authority = text.substr(2, slash == std::string_view::npos ? std::string_view::npos : slash - 2);
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
  }
  parts.path = text;
  return parts;
}

// RFC 3986, 5.2.4: "." and ".." segments taken out of a path.
std::string remove_dot_segments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.starts_with("../")) {
      input.remove_prefix(3);
    } else if (input.starts_with("./")) {
      input.remove_prefix(2);
    } else if (input.starts_with("/./")) {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.starts_with("/../") || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      const std::size_t last = output.rfind('/');
      output.resize(last == std::string::npos ? 0 : last);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      const std::size_t end = input.find('/', 1);
      const std::size_t take = end == std::string_view::npos ? input.size() : end;
      output.append(input.substr(0, take));
      input.remove_prefix(take);
    }
  }
  return output;
}

}  // namespace

std::string resolve_iri(std::string_view base, std::string_view reference) {
  const IriParts r = split(reference);
  if (r.scheme) return std::string(reference);
  const IriParts b = split(base);
  std::string out(b.scheme.value_or(""));
  out.push_back(':');
  std::optional<std::string_view> query = r.query;
  if (r.authority) {
    out.append("//").append(*r.authority).append(remove_dot_segments(r.path));
  } else {
    if (b.authority) out.append("//").append(*b.authority);
    if (r.path.empty()) {
      out.append(b.path);
      if (!query) query = b.query;
    } else if (r.path.front() == '/') {
      out.append(remove_dot_segments(r.path));
    } else {
      // RFC 3986, 5.2.3: the base's path up to its last '/', then the reference's.
      std::string merged;
      if (b.authority && b.path.empty()) {
        merged = "/";
      } else {
        const std::size_t slash = b.path.rfind('/');
        if (slash != std::string_view::npos) merged.assign(b.path.substr(0, slash + 1));
      }
      merged.append(r.path);
      out.append(remove_dot_segments(merged));
    }
  }
  if (query) out.append("?").append(*query);
  if (r.fragment) out.append("#").append(*r.fragment);
  return out;
}

}  // namespace vantrel
