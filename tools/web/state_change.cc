#include "tools/web/state_change.h"

#include <cstddef>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// A JSON value as spans of the text it was read from: the states are our
// own writer's, so the same value always has the same text, and a value is
// compared and copied as text.
struct Node {
  enum class Kind : std::uint8_t { kScalar, kObject, kArray };
  Kind kind = Kind::kScalar;
  std::string_view text;               // the whole value
  std::vector<std::string_view> keys;  // an object's member names, quotes included
  std::vector<Node> children;          // its members' values, or an array's elements
};

// Reads a JSON text into nodes. Strict enough that whatever it accepts is
// safe to pass on (balanced, strings closed, no control characters); the
// numbers are passed on as their text.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool Document(Node* out) {
    if (!Value(out, 0)) return false;
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

  bool Members(Node* out, int depth, char end) {
    if (Take(end)) return true;
    do {
      if (out->kind == Node::Kind::kObject) {
        SkipSpace();
        const std::size_t start = pos_;
        if (!String()) return false;
        out->keys.push_back(text_.substr(start, pos_ - start));
        if (!Take(':')) return false;
      }
      out->children.emplace_back();
      if (!Value(&out->children.back(), depth + 1)) return false;
    } while (Take(','));
    return Take(end);
  }

  bool Value(Node* out, int depth) {
    if (depth > kMaxDepth) return false;
    SkipSpace();
    if (pos_ >= text_.size()) return false;
    const std::size_t start = pos_;
    bool ok = false;
    if (text_[pos_] == '{' || text_[pos_] == '[') {
      const bool object = text_[pos_] == '{';
      out->kind = object ? Node::Kind::kObject : Node::Kind::kArray;
      ++pos_;
      ok = Members(out, depth, object ? '}' : ']');
    } else if (text_[pos_] == '"') {
      ok = String();
    } else {
      ok = Scalar();
    }
    out->text = text_.substr(start, pos_ - start);
    return ok;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// The member `key` of an object, looked for first where `hint` says (the
// states write their members in one order); null when it has none.
const Node* Member(const Node& object, std::string_view key, std::size_t hint) {
  if (hint < object.keys.size() && object.keys[hint] == key) return &object.children[hint];
  for (std::size_t i = 0; i < object.keys.size(); ++i) {
    if (object.keys[i] == key) return &object.children[i];
  }
  return nullptr;
}

bool Patch(const Node& a, const Node& b, std::string* out);

// The members of `b` that are new or differ from `a`'s, as "key":patch
// pairs after `out`'s text, `skip` left out of both; false when a member of
// `a` is gone from `b`, or a patch cannot say what changed.
bool MemberPatches(const Node& a, const Node& b, std::string_view skip, std::string* out) {
  bool first = true;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < b.keys.size(); ++i) {
    if (b.keys[i] == skip) continue;
    const Node* old = Member(a, b.keys[i], i);
    if (old != nullptr) ++kept;
    if (old != nullptr && old->text == b.children[i].text) continue;
    if (!first) out->push_back(',');
    first = false;
    out->append(b.keys[i]);
    out->push_back(':');
    if (old == nullptr) {
      out->append(b.children[i].text);
    } else if (!Patch(*old, b.children[i], out)) {
      return false;
    }
  }
  const bool skipped = !skip.empty() && Member(a, skip, 0) != nullptr;
  return kept + (skipped ? 1 : 0) == a.keys.size();
}

// Appends the patch that makes `a` into `b`, whose texts differ.
bool Patch(const Node& a, const Node& b, std::string* out) {
  if (b.kind == Node::Kind::kObject) {
    // An object patch onto an array would be read as element patches.
    if (a.kind == Node::Kind::kArray) return false;
    if (a.kind != Node::Kind::kObject) {
      out->append(b.text);  // patched from {}, it is b exactly
      return true;
    }
    out->push_back('{');
    if (!MemberPatches(a, b, {}, out)) return false;
    out->push_back('}');
    return true;
  }
  if (b.kind == Node::Kind::kArray && a.kind == Node::Kind::kArray &&
      a.children.size() == b.children.size()) {
    // Element by element, unless an element cannot be patched: then the
    // array is replaced, as arrays may be.
    const std::size_t start = out->size();
    out->push_back('{');
    bool first = true;
    for (std::size_t i = 0; i < b.children.size(); ++i) {
      if (a.children[i].text == b.children[i].text) continue;
      if (!first) out->push_back(',');
      first = false;
      out->append("\"" + std::to_string(i) + "\":");
      if (!Patch(a.children[i], b.children[i], out)) {
        out->resize(start);
        out->append(b.text);
        return true;
      }
    }
    out->push_back('}');
    return true;
  }
  out->append(b.text);
  return true;
}

bool AllDigits(std::string_view text) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A state's cars by index, in their order; false when a car is not an
// object with an index of its own.
bool CarsOf(const Node& state, std::vector<std::pair<std::string_view, const Node*>>* cars) {
  const Node* list = Member(state, "\"cars\"", state.keys.size());
  if (list == nullptr || list->kind != Node::Kind::kArray) return false;
  std::unordered_set<std::string_view> seen;
  for (const Node& car : list->children) {
    if (car.kind != Node::Kind::kObject) return false;
    const Node* index = Member(car, "\"index\"", 0);
    if (index == nullptr || !AllDigits(index->text) || !seen.insert(index->text).second) {
      return false;
    }
    cars->emplace_back(index->text, &car);
  }
  return true;
}

}  // namespace

std::optional<std::string> StateChangeJson(std::string_view before, std::string_view after,
                                           std::uint64_t id) {
  Node a;
  Node b;
  if (!Reader(before).Document(&a) || !Reader(after).Document(&b)) return std::nullopt;
  if (a.kind != Node::Kind::kObject || b.kind != Node::Kind::kObject) return std::nullopt;
  const Node* base = Member(a, "\"received_unix_s\"", 2);
  if (base == nullptr || base->kind != Node::Kind::kScalar) return std::nullopt;
  std::vector<std::pair<std::string_view, const Node*>> old_cars;
  std::vector<std::pair<std::string_view, const Node*>> new_cars;
  if (!CarsOf(a, &old_cars) || !CarsOf(b, &new_cars)) return std::nullopt;

  std::string out = "{\"id\":" + std::to_string(id) + ",\"base\":";
  out.append(base->text);
  out.append(",\"set\":{");
  if (!MemberPatches(a, b, "\"cars\"", &out)) return std::nullopt;
  out.append("},\"cars\":{");
  std::unordered_map<std::string_view, const Node*> by_index;
  for (const auto& [index, car] : old_cars) by_index.emplace(index, car);
  bool first = true;
  for (const auto& [index, car] : new_cars) {
    const auto old = by_index.find(index);
    if (old != by_index.end() && old->second->text == car->text) continue;
    if (!first) out.push_back(',');
    first = false;
    out.push_back('"');
    out.append(index);
    out.append("\":");
    if (old == by_index.end()) {
      out.append(car->text);
    } else if (!Patch(*old->second, *car, &out)) {
      return std::nullopt;
    }
  }
  out.push_back('}');
  bool same_order = old_cars.size() == new_cars.size();
  for (std::size_t i = 0; same_order && i < new_cars.size(); ++i) {
    same_order = old_cars[i].first == new_cars[i].first;
  }
  if (!same_order) {
    out.append(",\"order\":[");
    for (std::size_t i = 0; i < new_cars.size(); ++i) {
      if (i > 0) out.push_back(',');
      out.append(new_cars[i].first);
    }
    out.push_back(']');
  }
  out.push_back('}');
  return out;
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
