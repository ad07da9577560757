#include "graph/graph.hpp"

namespace vantrel {

template class BasicGraph<std::uint32_t>;
template class BasicGraph<std::uint64_t>;

}  // namespace vantrel
