// Flame graphs from a Profile's stack tree: the merged tree (stacks of all threads merged, or
// one subtree per thread under the root), its collapsed-stack text ("outer;inner;leaf ns", one
// line per stack with self time, the format other flame-graph tools read) and a
// self-contained interactive SVG (hover details, click to zoom, search; no network, no
// external script).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/profile.h"

namespace vespra::analysis {

struct FlameNode {
    std::string label;   // the frame's text: function name, or the thread for a thread root
    std::string where;   // "file:line", empty when unknown
    uint32_t parent;     // NONE for the root
    uint32_t depth;      // 0 for the root
    uint64_t total = 0;  // ns of the slices on this path
    uint64_t self = 0;   // ns
    uint64_t value = 0;  // width: total, or the children's sum when larger (frames never ended)
};

// Nodes in an order where every parent precedes its children; node 0 is the root "all".
struct FlameTree {
    static constexpr uint32_t NONE = UINT32_MAX;
    std::vector<FlameNode> nodes;
};

// Needs a Profile built with keep_stacks, after finish().
FlameTree flame_tree(const Profile& profile, bool per_thread);

// Collapsed stacks, one "a;b;c ns" line per path with self time above 0, sorted; the root is
// not part of the paths.
std::string folded(const FlameTree& tree);

// The SVG document. `title` is shown at the top.
std::string svg(const FlameTree& tree, const std::string& title);

}  // namespace vespra::analysis
