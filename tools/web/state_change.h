// What changed from one timing state to the next, so that a viewer that
// holds the first is sent only that, not the whole state again:
//
//   {"id":N,"base":B,"set":{...},"cars":{"3":{...},...},"order":[3,0,...]}
//
//   id     the web view's publication id of the state it leads to
//   base   the received_unix_s of the state it applies to, as that state
//          has it: every state of the web view has its own. A viewer whose
//          state has another one holds the wrong state and takes a whole one.
//   set    a patch of the state's members other than "cars"
//   cars   a patch of each car that changed, by its "index" as text; a car
//          that is new is patched from {}
//   order  only when the cars changed order, came or went: the index of
//          every car of the new state, in its order
//
// A patch P applied to a value T:
//   - P an object, T an object: T with each member k of P set to P[k]
//     applied to T[k] (to nothing when T has no k);
//   - P an object, T an array: T with each element k ("0", "1", ...) of P
//     set to P[k] applied to T[k];
//   - P an object, T anything else or nothing: P applied to {};
//   - P anything else (an array, a string, a number, true, false, null):
//     P itself.
// Unlike JSON Merge Patch (RFC 7386) null is a value, never a deletion: a
// state's fields are often null and never go away. An array's elements are
// patched one by one while its length stays, so a gap that changed in one
// of a car's relative entries costs that gap, not the whole list.
//
// Every value a change carries is the new state's own text, so applying it
// gives exactly the values of the whole state, floats to the last bit.
#ifndef PITWALL_TOOLS_WEB_STATE_CHANGE_H_
#define PITWALL_TOOLS_WEB_STATE_CHANGE_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A timing state's text read into its values, kept to compare the next
// state with: the states are our own writer's, so the same value always has
// the same text, and values are compared and passed on as text. It refers
// to the text, which must outlive it (or its next Read).
class StateTree {
 public:
  enum class Kind : std::uint8_t { kScalar, kObject, kArray };
  static constexpr std::uint32_t kNone = 0xffffffff;
  struct Node {
    Kind kind = Kind::kScalar;
    std::string_view text;        // the whole value
    std::string_view key;         // its name, quotes included, in an object; else empty
    std::uint32_t first = kNone;  // the first member or element
    std::uint32_t next = kNone;   // the next in its object or array
    std::uint32_t count = 0;      // members or elements
  };
  struct Car {
    std::string_view index;  // as digits
    std::uint32_t node = kNone;
  };

  // False when `text` is not a state: an object whose "cars" are objects
  // with distinct indexes, and a received_unix_s.
  bool Read(std::string_view text);
  bool ok() const { return ok_; }
  const Node& node(std::uint32_t at) const { return nodes_[at]; }  // 0: the state
  const std::vector<Car>& cars() const { return cars_; }
  std::uint32_t received() const { return received_; }

 private:
  std::vector<Node> nodes_;
  std::vector<Car> cars_;
  std::uint32_t received_ = kNone;
  bool ok_ = false;
};

// The change from `before` to `after` for the publication `id`; nothing
// when either is not a state (a failed Read) or when the change takes more
// than a patch can say (a member that went away, an array that became an
// object): the whole state is sent then.
std::optional<std::string> StateChangeJson(const StateTree& before, const StateTree& after,
                                           std::uint64_t id);

// The change from `before` to `after` (both timing-state JSON texts) for
// the publication `id`. Nothing when the two are not both states (an
// object whose "cars" are objects with distinct indexes, and a
// received_unix_s), or when the change takes more than a patch can say (a
// member that went away, an array that became an object): the whole state
// is sent then.
std::optional<std::string> StateChangeJson(std::string_view before, std::string_view after,
                                           std::uint64_t id);

// `state` with `change` applied; nothing when the change's base is not
// this state's received_unix_s, or either is not what it should be. What a
// viewer does, for the tests and the tools that follow a stream.
std::optional<nlohmann::json> ApplyStateChange(const nlohmann::json& state,
                                               const nlohmann::json& change);

#endif  // PITWALL_TOOLS_WEB_STATE_CHANGE_H_
