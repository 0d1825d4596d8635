#include "analysis/flamegraph.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "analysis/text.h"

namespace vespra::analysis {
namespace {

constexpr double WIDTH = 1200;       // px of the whole graph
constexpr double FRAME_HEIGHT = 16;  // px per stack level
constexpr double TOP = 56;           // px above the graph: title, search box
constexpr double BOTTOM = 28;        // px below: the details line
constexpr double MIN_WIDTH = 0.1;    // px: narrower frames are left out
constexpr double LABEL_CHAR_PX = 7;  // px per character at the label's font size

// Folded-stack separators must not occur inside a frame's text.
std::string clean_label(std::string s) {
    for (char& c : s) {
        if (c == ';' || c == '\n' || c == '\r') c = ':';
    }
    return s;
}

}  // namespace

FlameTree flame_tree(const Profile& profile, bool per_thread) {
    const std::vector<Function>& functions = profile.functions();
    // A name shared by two functions of the graph gets its file:line (a span: "span"), so the
    // graph keeps them apart. Functions a reader named but no slice used do not count.
    std::unordered_map<std::string, int> name_uses;
    {
        std::unordered_set<uint32_t> used;
        for (const StackNode& n : profile.stack_nodes()) {
            if (n.function != Profile::NO_FUNCTION && used.insert(n.function).second)
                ++name_uses[functions[n.function].name];
        }
    }

    FlameTree tree;
    tree.nodes.push_back(FlameNode{"all", "", FlameTree::NONE, 0});
    std::unordered_map<uint64_t, uint32_t> ids;  // merged parent << 32 | function -> node
    auto node_for = [&](uint32_t parent, uint32_t function) {
        uint64_t key = (uint64_t{parent} << 32) | function;
        auto [it, added] = ids.try_emplace(key, static_cast<uint32_t>(tree.nodes.size()));
        if (added) {
            const Function& f = functions[function];
            FlameNode n{clean_label(f.name.empty() ? "<unknown>" : f.name), where(f), parent,
                        tree.nodes[parent].depth + 1};
            if (name_uses[f.name] > 1 && !n.where.empty())
                n.label += f.span ? std::string(" (span)") : " (" + n.where + ")";
            tree.nodes.push_back(std::move(n));
        }
        return it->second;
    };

    // Widths first, per thread, in the profile's own tree: a frame is as wide as its time, and
    // never narrower than its children. Parents precede children there too, so a reverse pass
    // sees every child before its parent.
    const std::vector<StackNode>& nodes = profile.stack_nodes();
    std::vector<uint64_t> value(nodes.size(), 0), child_sum(nodes.size(), 0);
    for (size_t i = nodes.size(); i-- > 0;) {
        value[i] = std::max(nodes[i].total, child_sum[i]);
        if (nodes[i].parent != Profile::NO_FUNCTION) child_sum[nodes[i].parent] += value[i];
    }

    std::vector<uint32_t> mapped(nodes.size(), 0);
    std::unordered_map<uint32_t, uint32_t> thread_roots;  // stack root -> thread index
    for (uint32_t t = 0; t < profile.threads().size(); ++t) {
        thread_roots.emplace(profile.threads()[t].root, t);
    }
    for (uint32_t i = 0; i < nodes.size(); ++i) {
        const StackNode& n = nodes[i];
        uint32_t m = 0;
        if (n.function != Profile::NO_FUNCTION) {
            m = node_for(mapped[n.parent], n.function);
            tree.nodes[m].total += n.total;
            tree.nodes[m].self += n.self;
            tree.nodes[m].value += value[i];
        } else if (per_thread) {
            const Thread& t = profile.threads()[thread_roots.at(i)];
            m = static_cast<uint32_t>(tree.nodes.size());
            tree.nodes.push_back(
                FlameNode{clean_label(thread_label(t, profile.process_name(t.pid))), "", 0, 1});
            tree.nodes[m].value = tree.nodes[m].total = value[i];
        }
        if (n.function == Profile::NO_FUNCTION) tree.nodes[0].value += value[i];
        mapped[i] = m;
    }
    tree.nodes[0].total = tree.nodes[0].value;
    return tree;
}

std::string folded(const FlameTree& tree) {
    std::vector<std::string> lines;
    std::vector<const std::string*> path;
    for (size_t i = 1; i < tree.nodes.size(); ++i) {
        const FlameNode& n = tree.nodes[i];
        if (n.self == 0) continue;
        path.clear();
        for (uint32_t j = static_cast<uint32_t>(i); j != 0; j = tree.nodes[j].parent) {
            path.push_back(&tree.nodes[j].label);
        }
        std::string line;
        for (size_t k = path.size(); k-- > 0;) {
            line += *path[k];
            if (k > 0) line += ';';
        }
        line += ' ';
        line += std::to_string(n.self);
        lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines) out.append(l).append("\n");
    return out;
}

namespace {

// Interaction, kept in the document: frames carry their place as fractions of the whole
// (data-x, data-w) and their depth; zoom rescales the frames inside the clicked one, widens
// its ancestors and hides the rest; search colours frames whose text matches.
constexpr const char* SCRIPT = R"JS(
var W = 1200, CW = 7, frames = [], details, matchedText, zoomed = null;
function init() {
  details = document.getElementById("details");
  matchedText = document.getElementById("matched");
  var gs = document.getElementsByClassName("f");
  for (var i = 0; i < gs.length; i++) {
    var g = gs[i], r = g.getElementsByTagName("rect")[0];
    frames.push({g: g, r: r, t: g.getElementsByTagName("text")[0],
                 x: +g.getAttribute("data-x"), w: +g.getAttribute("data-w"),
                 d: +g.getAttribute("data-d"), name: g.getAttribute("data-n"),
                 fill: r.getAttribute("fill")});
    g.onmouseover = hover; g.onmouseout = function () { details.textContent = " "; };
    g.onclick = click;
  }
  document.getElementById("search").oninput = search;
  document.getElementById("reset").onclick = function () { zoom(null); };
}
function find(g) { for (var i = 0; i < frames.length; i++) if (frames[i].g === g) return frames[i]; }
function hover() { details.textContent = this.getElementsByTagName("title")[0].textContent; }
function label(f, w) {
  var n = Math.floor((w - 6) / CW), s = f.name;
  f.t.textContent = n < 3 ? "" : (s.length <= n ? s : s.substring(0, n - 2) + "..");
}
function place(f, x, w) {
  f.r.setAttribute("x", x); f.r.setAttribute("width", w);
  f.t.setAttribute("x", x + 3); label(f, w);
}
function click() { zoom(find(this)); }
function zoom(z) {
  zoomed = z;
  for (var i = 0; i < frames.length; i++) {
    var f = frames[i];
    if (!z) { f.g.style.display = ""; place(f, f.x * W, f.w * W); continue; }
    var inside = f.x >= z.x - 1e-12 && f.x + f.w <= z.x + z.w + 1e-12;
    if (f.d >= z.d && inside) {
      f.g.style.display = "";
      place(f, (f.x - z.x) / z.w * W, f.w / z.w * W);
    } else if (f.d < z.d && f.x <= z.x + 1e-12 && f.x + f.w >= z.x + z.w - 1e-12) {
      f.g.style.display = ""; place(f, 0, W);
    } else {
      f.g.style.display = "none";
    }
  }
}
function search() {
  var q = this.value, spans = [];
  for (var i = 0; i < frames.length; i++) {
    var f = frames[i], hit = q !== "" && f.name.indexOf(q) >= 0;
    f.r.setAttribute("fill", hit ? "rgb(230,0,230)" : f.fill);
    if (hit) spans.push([f.x, f.x + f.w]);
  }
  spans.sort(function (a, b) { return a[0] - b[0]; });
  var total = 0, end = -1;
  for (var j = 0; j < spans.length; j++) {
    var s = Math.max(spans[j][0], end);
    if (spans[j][1] > s) { total += spans[j][1] - s; end = spans[j][1]; }
  }
  matchedText.textContent = q === "" ? "" : "matched: " + (100 * total).toFixed(2) + "%";
}
window.addEventListener("load", init);
)JS";

// A warm colour per name, stable across runs.
std::string colour(const std::string& name) {
    uint32_t h = 2166136261u;
    for (unsigned char c : name) h = (h ^ c) * 16777619u;
    int r = 205 + static_cast<int>(h % 50);
    int g = static_cast<int>((h >> 8) % 180);
    int b = static_cast<int>((h >> 16) % 55);
    char buf[32];
    std::snprintf(buf, sizeof buf, "rgb(%d,%d,%d)", r, g, b);
    return buf;
}

}  // namespace

std::string svg(const FlameTree& tree, const std::string& title) {
    uint32_t max_depth = 0;
    for (const FlameNode& n : tree.nodes) max_depth = std::max(max_depth, n.depth);
    double height = TOP + (max_depth + 1) * FRAME_HEIGHT + BOTTOM;
    uint64_t whole = tree.nodes.empty() ? 0 : tree.nodes[0].value;

    // x of each node as a fraction of the whole: children are laid side by side from their
    // parent's left edge, in the order they were first entered.
    std::vector<double> x(tree.nodes.size(), 0), next(tree.nodes.size(), 0);
    std::string out;
    out.reserve(256 + tree.nodes.size() * 256);
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
                  "<svg version=\"1.1\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                  "xmlns=\"http://www.w3.org/2000/svg\">\n",
                  WIDTH, height, WIDTH, height);
    out += buf;
    out +=
        "<style>.f text{font:12px monospace;fill:#000;pointer-events:none}"
        ".f rect{stroke:#fff;stroke-width:0.5;cursor:pointer}"
        "text{font:12px monospace}</style>\n";
    out += "<script type=\"text/ecmascript\"><![CDATA[";
    out += SCRIPT;
    out += "]]></script>\n";
    std::snprintf(buf, sizeof buf,
                  "<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"#f8f8f0\"/>\n",
                  WIDTH, height);
    out += buf;
    out += "<text x=\"600\" y=\"20\" text-anchor=\"middle\" style=\"font-size:16px\">" +
           xml_escape(title) + "</text>\n";
    out += "<text id=\"reset\" x=\"10\" y=\"42\" style=\"cursor:pointer\">[reset zoom]</text>\n";
    out +=
        "<foreignObject x=\"900\" y=\"28\" width=\"290\" height=\"24\">"
        "<input xmlns=\"http://www.w3.org/1999/xhtml\" id=\"search\" type=\"search\" "
        "placeholder=\"search\" style=\"width:280px\"/></foreignObject>\n";
    out += "<text id=\"matched\" x=\"700\" y=\"42\"> </text>\n";
    std::snprintf(buf, sizeof buf, "<text id=\"details\" x=\"10\" y=\"%.0f\"> </text>\n",
                  height - 10);
    out += buf;

    for (size_t i = 0; i < tree.nodes.size(); ++i) {
        const FlameNode& n = tree.nodes[i];
        double frac = whole ? static_cast<double>(n.value) / static_cast<double>(whole) : 0;
        if (n.parent != FlameTree::NONE) {
            x[i] = next[n.parent];
            next[n.parent] += frac;
        }
        next[i] = x[i];
        double w = frac * WIDTH;
        if (w < MIN_WIDTH || n.value == 0) continue;
        double y = TOP + (max_depth - n.depth) * FRAME_HEIGHT;
        std::string tip = n.label;
        if (!n.where.empty()) tip += " (" + n.where + ")";
        tip += ": " + format_ns(n.value) + ", " + format_share(n.value, whole);
        if (n.self > 0) tip += ", self " + format_ns(n.self);
        std::string shown;
        size_t fit = w > 6 ? static_cast<size_t>((w - 6) / LABEL_CHAR_PX) : 0;
        if (fit >= 3) shown = n.label.size() <= fit ? n.label : n.label.substr(0, fit - 2) + "..";
        std::snprintf(
            buf, sizeof buf,
            "<g class=\"f\" data-x=\"%.9f\" data-w=\"%.9f\" data-d=\"%u\" data-v=\"%llu\"", x[i],
            frac, n.depth, static_cast<unsigned long long>(n.value));
        out += buf;
        out += " data-n=\"" + xml_escape(n.label) + "\" data-l=\"" + xml_escape(n.where) + "\">";
        out += "<title>" + xml_escape(tip) + "</title>";
        std::snprintf(buf, sizeof buf,
                      "<rect x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" height=\"%.0f\" fill=\"%s\"/>"
                      "<text x=\"%.2f\" y=\"%.0f\">",
                      x[i] * WIDTH, y, w, FRAME_HEIGHT - 1,
                      i == 0 ? "rgb(200,200,200)" : colour(n.label).c_str(), x[i] * WIDTH + 3,
                      y + 12);
        out += buf;
        out += xml_escape(shown) + "</text></g>\n";
    }
    out += "</svg>\n";
    return out;
}

}  // namespace vespra::analysis
