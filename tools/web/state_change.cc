#include "tools/web/state_change.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Kind = StateTree::Kind;
using Node = StateTree::Node;
constexpr std::uint32_t kNone = StateTree::kNone;

// Reads a JSON text into the tree's nodes. Strict enough that whatever it
// accepts is safe to pass on (balanced, strings closed, no control
// characters); the numbers are passed on as their text.
class Reader {
 public:
  Reader(std::string_view text, std::vector<Node>* nodes) : text_(text), nodes_(nodes) {}

  bool Document() {
    if (!Value(0, {})) return false;
    SkipSpace();
    return pos_ == text_.size();
  }

 private:
  static constexpr int kMaxDepth = 32;

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }

  bool Take(char c) {
    SkipSpace();
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  bool String() {
    if (pos_ >= text_.size() || text_[pos_] != '"') return false;
    for (++pos_; pos_ < text_.size(); ++pos_) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') ++pos_;  // the escaped character, whatever it is
    }
    return false;
  }

  bool Scalar() {
    const std::size_t start = pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      const bool number =
          (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
      if (!number) break;
      ++pos_;
    }
    if (pos_ > start) return true;
    for (std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return true;
      }
    }
    return false;
  }

  // Reads the members (or elements) of node `at` up to `end`.
  bool Members(std::uint32_t at, int depth, char end) {
    if (Take(end)) return true;
    const bool object = (*nodes_)[at].kind == Kind::kObject;
    std::uint32_t last = kNone;
    do {
      std::string_view key;
      if (object) {
        SkipSpace();
        const std::size_t start = pos_;
        if (!String()) return false;
        key = text_.substr(start, pos_ - start);
        if (!Take(':')) return false;
      }
      const auto child = static_cast<std::uint32_t>(nodes_->size());
      if (!Value(depth + 1, key)) return false;
      Node& parent = (*nodes_)[at];
      if (last == kNone) {
        parent.first = child;
      } else {
        (*nodes_)[last].next = child;
      }
      ++parent.count;
      last = child;
    } while (Take(','));
    return Take(end);
  }

  bool Value(int depth, std::string_view key) {
    if (depth > kMaxDepth) return false;
    SkipSpace();
    if (pos_ >= text_.size()) return false;
    const std::size_t start = pos_;
    const auto at = static_cast<std::uint32_t>(nodes_->size());
    nodes_->push_back({});
    (*nodes_)[at].key = key;
    bool ok = false;
    if (text_[pos_] == '{' || text_[pos_] == '[') {
      const bool object = text_[pos_] == '{';
      (*nodes_)[at].kind = object ? Kind::kObject : Kind::kArray;
      ++pos_;
      ok = Members(at, depth, object ? '}' : ']');
    } else if (text_[pos_] == '"') {
      ok = String();
    } else {
      ok = Scalar();
    }
    (*nodes_)[at].text = text_.substr(start, pos_ - start);
    return ok;
  }

  std::string_view text_;
  std::vector<Node>* nodes_;
  std::size_t pos_ = 0;
};

// Compares two trees and writes the patch between them.
class Differ {
 public:
  Differ(const StateTree& a, const StateTree& b, std::string* out) : a_(a), b_(b), out_(out) {}

  // The member `key` of object node `object`, looked for first at `*hint`
  // (the states write their members in one order), which then moves past
  // it; kNone when it has none.
  static std::uint32_t Member(const StateTree& tree, std::uint32_t object, std::string_view key,
                              std::uint32_t* hint) {
    if (*hint != kNone && tree.node(*hint).key == key) {
      const std::uint32_t found = *hint;
      *hint = tree.node(found).next;
      return found;
    }
    for (std::uint32_t i = tree.node(object).first; i != kNone; i = tree.node(i).next) {
      if (tree.node(i).key == key) {
        *hint = tree.node(i).next;
        return i;
      }
    }
    return kNone;
  }

  // The members of `b` that are new or differ from `a`'s, as "key":patch
  // pairs, `skip` left out of both; false when a member of `a` is gone
  // from `b`, or a patch cannot say what changed.
  bool MemberPatches(std::uint32_t a, std::uint32_t b, std::string_view skip) {
    bool first = true;
    std::uint32_t kept = 0;
    std::uint32_t hint = a_.node(a).first;
    for (std::uint32_t i = b_.node(b).first; i != kNone; i = b_.node(i).next) {
      const Node& member = b_.node(i);
      if (member.key == skip) continue;
      const std::uint32_t old = Member(a_, a, member.key, &hint);
      if (old != kNone) ++kept;
      if (old != kNone && a_.node(old).text == member.text) continue;
      if (!first) out_->push_back(',');
      first = false;
      out_->append(member.key);
      out_->push_back(':');
      if (old == kNone) {
        out_->append(member.text);
      } else if (!Patch(old, i)) {
        return false;
      }
    }
    std::uint32_t no_hint = kNone;
    const bool skipped = !skip.empty() && Member(a_, a, skip, &no_hint) != kNone;
    return kept + (skipped ? 1 : 0) == a_.node(a).count;
  }

  // Appends the patch that makes `a` into `b`, whose texts differ.
  bool Patch(std::uint32_t a, std::uint32_t b) {
    const Node& x = a_.node(a);
    const Node& y = b_.node(b);
    if (y.kind == Kind::kObject) {
      // An object patch onto an array would be read as element patches.
      if (x.kind == Kind::kArray) return false;
      if (x.kind != Kind::kObject) {
        out_->append(y.text);  // patched from {}, it is y exactly
        return true;
      }
      out_->push_back('{');
      if (!MemberPatches(a, b, {})) return false;
      out_->push_back('}');
      return true;
    }
    if (y.kind == Kind::kArray && x.kind == Kind::kArray && x.count == y.count) {
      // Element by element, unless an element cannot be patched: then the
      // array is replaced, as arrays may be.
      const std::size_t start = out_->size();
      out_->push_back('{');
      bool first = true;
      std::uint32_t index = 0;
      for (std::uint32_t i = x.first, j = y.first; j != kNone;
           i = a_.node(i).next, j = b_.node(j).next, ++index) {
        if (a_.node(i).text == b_.node(j).text) continue;
        if (!first) out_->push_back(',');
        first = false;
        out_->push_back('"');
        out_->append(std::to_string(index));
        out_->append("\":");
        if (!Patch(i, j)) {
          out_->resize(start);
          out_->append(y.text);
          return true;
        }
      }
      out_->push_back('}');
      return true;
    }
    out_->append(y.text);
    return true;
  }

 private:
  const StateTree& a_;
  const StateTree& b_;
  std::string* const out_;
};

bool AllDigits(std::string_view text) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool StateTree::Read(std::string_view text) {
  nodes_.clear();
  cars_.clear();
  received_ = kNone;
  ok_ = false;
  if (!Reader(text, &nodes_).Document() || nodes_[0].kind != Kind::kObject) return false;
  std::uint32_t list = kNone;
  for (std::uint32_t i = nodes_[0].first; i != kNone; i = nodes_[i].next) {
    if (nodes_[i].key == "\"cars\"") list = i;
    if (nodes_[i].key == "\"received_unix_s\"") received_ = i;
  }
  if (list == kNone || nodes_[list].kind != Kind::kArray) return false;
  if (received_ == kNone || nodes_[received_].kind != Kind::kScalar) return false;
  for (std::uint32_t car = nodes_[list].first; car != kNone; car = nodes_[car].next) {
    if (nodes_[car].kind != Kind::kObject) return false;
    std::uint32_t index = kNone;
    for (std::uint32_t i = nodes_[car].first; i != kNone && index == kNone; i = nodes_[i].next) {
      if (nodes_[i].key == "\"index\"") index = i;
    }
    if (index == kNone || !AllDigits(nodes_[index].text)) return false;
    cars_.push_back({nodes_[index].text, car});
  }
  // Distinct indexes: looked up by index below.
  std::vector<std::string_view> indexes;
  for (const Car& c : cars_) indexes.push_back(c.index);
  std::sort(indexes.begin(), indexes.end());
  if (std::adjacent_find(indexes.begin(), indexes.end()) != indexes.end()) return false;
  ok_ = true;
  return true;
}

std::optional<std::string> StateChangeJson(const StateTree& a, const StateTree& b,
                                           std::uint64_t id) {
  if (!a.ok() || !b.ok()) return std::nullopt;
  std::string out = "{\"id\":" + std::to_string(id) + ",\"base\":";
  out.append(a.node(a.received()).text);
  out.append(",\"set\":{");
  Differ differ(a, b, &out);
  if (!differ.MemberPatches(0, 0, "\"cars\"")) return std::nullopt;
  out.append("},\"cars\":{");
  // The cars before by index: at most 256, as digits.
  std::unordered_map<std::string_view, std::uint32_t> by_index;
  by_index.reserve(a.cars().size());
  for (const StateTree::Car& car : a.cars()) by_index.emplace(car.index, car.node);
  bool first = true;
  for (const StateTree::Car& car : b.cars()) {
    const auto old = by_index.find(car.index);
    if (old != by_index.end() && a.node(old->second).text == b.node(car.node).text) continue;
    if (!first) out.push_back(',');
    first = false;
    out.push_back('"');
    out.append(car.index);
    out.append("\":");
    if (old == by_index.end()) {
      out.append(b.node(car.node).text);
    } else if (!differ.Patch(old->second, car.node)) {
      return std::nullopt;
    }
  }
  out.push_back('}');
  bool same_order = a.cars().size() == b.cars().size();
  for (std::size_t i = 0; same_order && i < b.cars().size(); ++i) {
    same_order = a.cars()[i].index == b.cars()[i].index;
  }
  if (!same_order) {
    out.append(",\"order\":[");
    for (std::size_t i = 0; i < b.cars().size(); ++i) {
      if (i > 0) out.push_back(',');
      out.append(b.cars()[i].index);
    }
    out.push_back(']');
  }
  out.push_back('}');
  return out;
}

std::optional<std::string> StateChangeJson(std::string_view before, std::string_view after,
                                           std::uint64_t id) {
  StateTree a;
  StateTree b;
  if (!a.Read(before) || !b.Read(after)) return std::nullopt;
  return StateChangeJson(a, b, id);
}

namespace {

using nlohmann::json;

bool PatchValue(const json& patch, json* target) {
  if (!patch.is_object()) {
    *target = patch;
    return true;
  }
  if (!target->is_object() && !target->is_array()) *target = json::object();
  for (const auto& [key, value] : patch.items()) {
    if (target->is_object()) {
      if (!PatchValue(value, &(*target)[key])) return false;
      continue;
    }
    if (!AllDigits(key)) return false;
    const std::size_t at = std::stoul(key);
    if (at >= target->size()) return false;
    if (!PatchValue(value, &(*target)[at])) return false;
  }
  return true;
}

}  // namespace

std::optional<json> ApplyStateChange(const json& state, const json& change) {
  if (!state.is_object() || !change.is_object()) return std::nullopt;
  const auto base = change.find("base");
  const auto received = state.find("received_unix_s");
  if (base == change.end() || received == state.end() || *base != *received) return std::nullopt;
  const auto cars = state.find("cars");
  if (cars == state.end() || !cars->is_array()) return std::nullopt;
  json next = state;
  const auto set = change.find("set");
  if (set != change.end()) {
    if (!set->is_object() || set->contains("cars")) return std::nullopt;
    for (const auto& [key, value] : set->items()) {
      if (!PatchValue(value, &next[key])) return std::nullopt;
    }
  }
  std::unordered_map<int, json> by_index;
  std::vector<int> order;
  for (const json& car : *cars) {
    if (!car.is_object() || !car.contains("index") || !car["index"].is_number_integer()) {
      return std::nullopt;
    }
    const int index = car["index"].get<int>();
    order.push_back(index);
    by_index[index] = car;
  }
  const auto changed = change.find("cars");
  if (changed != change.end()) {
    if (!changed->is_object()) return std::nullopt;
    for (const auto& [key, value] : changed->items()) {
      if (!AllDigits(key)) return std::nullopt;
      if (!PatchValue(value, &by_index[std::stoi(key)])) return std::nullopt;
    }
  }
  const auto new_order = change.find("order");
  if (new_order != change.end()) {
    if (!new_order->is_array()) return std::nullopt;
    order.clear();
    for (const json& index : *new_order) {
      if (!index.is_number_integer()) return std::nullopt;
      order.push_back(index.get<int>());
    }
  }
  json list = json::array();
  for (int index : order) {
    const auto car = by_index.find(index);
    if (car == by_index.end()) return std::nullopt;
    list.push_back(std::move(car->second));
    by_index.erase(car);
  }
  // A car patched but in no order, or named twice in it, is a broken change.
  if (!by_index.empty() && new_order == change.end()) return std::nullopt;
  if (list.size() != order.size()) return std::nullopt;
  next["cars"] = std::move(list);
  return next;
}
