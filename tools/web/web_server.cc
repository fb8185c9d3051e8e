#include "web_server.h"

// clang-format off
// Boost 1.74's Asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format on

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "history_api.h"
#include "platform/ascii.h"
#include "platform/socket.h"
#include "web_bridge.h"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;
using SteadyClock = asio::steady_timer::clock_type;
using SharedText = std::shared_ptr<const std::string>;
using Request = http::request<http::empty_body>;

constexpr int kBacklog = 1024;
constexpr auto kKeepAliveEvery = std::chrono::seconds(5);  // a comment on a quiet stream
constexpr auto kWriteDeadline = std::chrono::seconds(10);  // for an answer that is not a stream
constexpr auto kLingerFor = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 256 * 1024;  // dropped before a close that ends in order
constexpr std::uintmax_t kMaxFileBytes = 8 * 1024 * 1024;
constexpr int kStreamSendBuffer = 128 * 1024;
constexpr int kMaxRefusing = 256;  // refusals being written at once; more are closed at once
constexpr auto kNoticeEvery = std::chrono::seconds(10);

// Every answer's own fields: the page runs only its own files, and a file is
// never read as another type than the one it is sent as.
constexpr std::string_view kCommonFields =
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'none'\r\n"
    "Referrer-Policy: no-referrer\r\n";

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

// The status line and fields of an answer whose body is `length` bytes.
std::string AnswerHead(int status, std::string_view type, std::size_t length,
                       std::string_view fields, bool keep_alive) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  head += "Content-Type: ";
  head += type;
  head += "\r\nContent-Length: " + std::to_string(length) + "\r\n";
  head += kCommonFields;
  head += fields;
  if (!keep_alive) head += "Connection: close\r\n";
  head += "\r\n";
  return head;
}

std::string TextAnswer(int status, const std::string& text, std::string_view fields = {}) {
  return AnswerHead(status, "text/plain; charset=utf-8", text.size(), fields, false) + text;
}

SharedText Event(const char* name, std::uint64_t id, const std::string& data) {
  return std::make_shared<const std::string>("id: " + std::to_string(id) + "\nevent: " + name +
                                             "\ndata: " + data + "\n\n");
}

// An event whose data is shared text (a kept snapshot's JSON), sent as it
// is without a copy: its lead, the data, its end.
void PushEvent(const char* name, std::uint64_t id, SharedText data, std::vector<SharedText>* out) {
  static const SharedText end = std::make_shared<const std::string>("\n\n");
  out->push_back(std::make_shared<const std::string>("id: " + std::to_string(id) +
                                                     "\nevent: " + name + "\ndata: "));
  out->push_back(std::move(data));
  out->push_back(end);
}

using Micros = std::chrono::microseconds;

// Whether the query of `target` has `name`=1.
bool QueryFlag(std::string_view target, std::string_view name) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return false;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view part = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (part.size() == name.size() + 2 && part.substr(0, name.size()) == name &&
        part.substr(name.size()) == "=1") {
      return true;
    }
  }
  return false;
}
constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::size_t kMaxDelayText = 20;
constexpr std::string_view kBadDelay =
    R"({"status":"bad_delay","message":"delay must be a number of seconds from 0 to 300, such as 10 or 2.5"})";

// A number of seconds as a decimal without needless digits: "10", "2.5".
std::string SecondsText(std::int64_t micros) {
  std::string text = std::to_string(micros / kMicrosPerSecond);
  std::int64_t fraction = micros % kMicrosPerSecond;
  if (fraction == 0) return text;
  std::string digits = std::to_string(fraction);
  digits.insert(0, 6 - digits.size(), '0');
  while (digits.back() == '0') digits.pop_back();
  return text + "." + digits;
}

// The delay a request asks for in its query's `delay` (none: 0): a decimal
// number of seconds from 0 to kDelayKeptS, digits with at most one point
// between digits, read to the microsecond. False for anything else, given
// twice included.
bool ParseDelay(std::string_view target, Micros* delay) {
  *delay = Micros(0);
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return true;
  std::string_view query = target.substr(question + 1);
  bool seen = false;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view part = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t equals = part.find('=');
    if (part.substr(0, equals) != "delay") continue;
    if (seen || equals == std::string_view::npos) return false;
    seen = true;
    const std::string_view value = part.substr(equals + 1);
    if (value.empty() || value.size() > kMaxDelayText) return false;
    const std::size_t point = value.find('.');
    const std::string_view whole = value.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : value.substr(point + 1);
    const auto digits = [](std::string_view t) {
      return !t.empty() &&
             std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(whole) || (point != std::string_view::npos && !digits(fraction))) return false;
    std::int64_t micros = 0;
    for (const char c : whole) {
      micros = micros * 10 + (c - '0') * kMicrosPerSecond;
      if (micros > WebBridge::kDelayKeptS * kMicrosPerSecond) return false;
    }
    std::int64_t unit = kMicrosPerSecond;
    for (const char c : fraction) {
      unit /= 10;
      micros += (c - '0') * unit;
    }
    if (micros > WebBridge::kDelayKeptS * kMicrosPerSecond) return false;
    *delay = Micros(micros);
  }
  return true;
}

// Seconds held, rounded down to a tenth: "0", "12.3", "300" (a hair under
// a tenth, from the clock's nanoseconds in a double, counts as the tenth).
std::string KeptText(double seconds) {
  const auto tenths = static_cast<std::int64_t>(std::max(0.0, seconds) * 10 + 1e-6);
  return SecondsText(tenths * (kMicrosPerSecond / 10));
}

// The status object with the delay a viewer is shown and how far back the
// web view holds.
std::string StatusWithDelay(const std::string& status_json, Micros delay, double kept_s) {
  return status_json.substr(0, status_json.size() - 1) +
         ",\"delay_s\":" + SecondsText(delay.count()) + ",\"kept_s\":" + KeptText(kept_s) + "}";
}

// The status of a delayed view while the web view holds less of the past
// than its delay.
std::string Gathering(Micros delay, const KeptPast& past, SteadyClock::time_point now,
                      double kept_s) {
  std::string message = "delayed " + SecondsText(delay.count()) + " s: ";
  if (past.memory_bound) {
    message += "the web view holds only the last " + KeptText(kept_s) +
               " s, as much as its memory for the past takes";
  } else {
    const auto left = std::chrono::ceil<std::chrono::seconds>(past.oldest + delay - now);
    message += std::to_string(std::max<std::int64_t>(1, left.count())) + " s still to gather";
  }
  return std::string("{\"status\":\"") + kStatusGathering + "\",\"message\":\"" + message +
         "\",\"id\":0,\"delay_s\":" + SecondsText(delay.count()) +
         ",\"kept_s\":" + KeptText(kept_s) + "}";
}

// The events of the newest snapshot, made once for every viewer.
struct Events {
  std::shared_ptr<const BridgeSnapshot> snapshot;
  std::uint64_t status_version = 0;  // grows whenever status or message change
  std::uint64_t track_version = 0;   // grows whenever the outline changes
  SharedText status, track, state;   // track and state null until there are some
  SharedText change;                 // the latest snapshot's change; null: it has none
  // The race story's latest events with their ids, oldest first.
  std::vector<std::pair<std::int64_t, SharedText>> race;
};

// What one viewer has been sent.
struct Sent {
  std::uint64_t id = 0;
  // A viewer that asked for changes: the publication whose state it holds
  // (0: none), so that it is sent what changed from that one or, when it
  // holds another, the whole state.
  bool changes = false;
  std::uint64_t state_id = 0;
  std::uint64_t status_version = 0;
  std::uint64_t track_version = 0;
  std::int64_t race_id = 0;  // the last race event sent
};

// The events that bring a viewer from `sent` to `now`.
void Catch(const Events& now, Sent* sent, std::vector<SharedText>* out) {
  if (sent->status_version != now.status_version) out->push_back(now.status);
  if (now.track && sent->track_version != now.track_version) out->push_back(now.track);
  if (sent->changes) {
    const BridgeSnapshot& s = *now.snapshot;
    if (now.state && s.state_id != sent->state_id) {
      const bool follows = now.change && s.change_base == sent->state_id;
      out->push_back(follows ? now.change : now.state);
      sent->state_id = s.state_id;
    }
  } else if (now.state && now.snapshot->id > sent->id) {
    out->push_back(now.state);
  }
  for (const auto& [race_id, text] : now.race) {
    if (race_id > sent->race_id) out->push_back(text);
  }
  if (!now.race.empty()) sent->race_id = std::max(sent->race_id, now.race.back().first);
  sent->id = now.snapshot->id;
  sent->status_version = now.status_version;
  sent->track_version = now.track_version;
}

// Names under /static/: folders and files of letters, digits, '.', '_' and
// '-', none beginning with a '.', so nothing outside the page's folder and
// nothing hidden is reachable.
bool SafeFilePath(std::string_view path) {
  if (path.empty() || path.size() > 200) return false;
  bool segment_start = true;
  for (const char c : path) {
    if (c == '/') {
      if (segment_start) return false;
      segment_start = true;
      continue;
    }
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
    if (!word && !(c == '.' && !segment_start)) return false;
    segment_start = false;
  }
  return !segment_start;
}

const char* FileType(std::string_view path) {
  const std::size_t dot = path.rfind('.');
  const std::string_view ext = dot == std::string_view::npos ? "" : path.substr(dot);
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".json") return "application/json";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".png") return "image/png";
  if (ext == ".woff2") return "font/woff2";
  if (ext == ".txt") return "text/plain; charset=utf-8";
  return nullptr;
}

// The whole file, or nothing when it is missing, unreadable or too big.
std::optional<std::string> ReadWholeFile(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  if (!file) return std::nullopt;
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  if (size < 0 || static_cast<std::uintmax_t>(size) > kMaxFileBytes) return std::nullopt;
  file.seekg(0);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!file.read(text.data(), size)) return std::nullopt;
  return text;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An event id as the stream writes them: decimal digits, no more than fit.
bool ParseEventId(std::string_view text, std::uint64_t* id) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *id = value;
  return true;
}

// A Host field that names an address (IPv4 or [IPv6]), localhost or one of
// `names`, with or without a port.
bool HostAllowed(std::string_view host, const std::vector<std::string>& names) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    const std::size_t end = name.find(']');
    if (end == std::string_view::npos) return false;
    const std::string_view rest = name.substr(end + 1);
    if (!rest.empty() && !(rest.front() == ':' && AllDigits(rest.substr(1)))) return false;
    ErrorCode ec;
    asio::ip::make_address_v6(std::string(name.substr(1, end - 1)), ec);
    return !ec;
  }
  const std::size_t colon = name.rfind(':');
  if (colon != std::string_view::npos) {
    if (!AllDigits(name.substr(colon + 1))) return false;
    name = name.substr(0, colon);
  }
  if (name.empty()) return false;
  ErrorCode ec;
  asio::ip::make_address_v4(std::string(name), ec);
  if (!ec) return true;
  const std::string text(name);
  if (EqualsIgnoringCase(text.c_str(), "localhost")) return true;
  return std::any_of(names.begin(), names.end(), [&](const std::string& allowed) {
    return EqualsIgnoringCase(text.c_str(), allowed.c_str());
  });
}

}  // namespace

class WebServer::Impl {
 public:
  class Connection;

  Impl(WebBridge* bridge, WebServerOptions options)
      : bridge_(bridge), options_(std::move(options)) {}
  ~Impl() {
    bridge_->SetOnPublish(nullptr);
    ioc_.stop();
    streams_.clear();
  }

  bool Listen(const std::string& address, std::uint16_t port, std::string* error);
  void Serve();
  void Stop() { ioc_.stop(); }
  std::uint16_t port() const { return port_; }

 private:
  friend class Connection;

  void Accept();
  void Admit(tcp::socket socket);
  void Refuse(tcp::socket socket, const std::string& why);
  void Tick();
  void OnPublish();
  // Every stream, or only the live ones (a delayed stream moves on its own
  // timer, not with publications).
  void PumpStreams(bool delayed_too);
  // Brings `events_` to the bridge's newest snapshot.
  void RefreshEvents();
  bool TakeStream(Connection* connection);
  // Closes the connection that has waited longest for a request's head;
  // false when none waits.
  bool EvictLongestWaiting();
  void Forget(Connection* connection);
  std::string CorsFields(const Request& request) const;
  // A line on stderr at most every kNoticeEvery about viewers turned away.
  void NoteTurnedAway(const char* why);

  // First, so that it goes last: the handlers it still holds keep
  // connections, which by then touch nothing else of the server.
  asio::io_context ioc_{1};
  WebBridge* const bridge_;
  const WebServerOptions options_;
  // Runs history queries. After the loop, so it ends first: its answers go
  // to the loop's queue.
  asio::thread_pool history_pool_{1};
  tcp::acceptor acceptor_{ioc_};
  asio::steady_timer accept_pause_{ioc_};
  asio::steady_timer ticker_{ioc_};
  std::uint16_t port_ = 0;
  std::atomic<bool> publish_pending_{false};

  // The rest belongs to the event loop's thread.
  int connections_ = 0;
  int refusing_ = 0;
  std::unordered_map<std::string, int> per_address_;
  std::unordered_map<Connection*, std::shared_ptr<Connection>> streams_;
  // Connections waiting for a request's head, the longest waiting first:
  // when connections run out, the first of these goes for a newcomer, so
  // idle and slow clients can never keep a new one out.
  std::list<Connection*> waiting_;
  Events events_;
  std::string status_key_;                         // status and message of events_.status
  std::shared_ptr<const std::string> track_json_;  // the outline of events_.track
  int turned_away_ = 0;
  SteadyClock::time_point last_notice_{};
};

// One client connection: requests one after another, or one event stream.
class WebServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  // `counted`: in the server's connection counts; otherwise a refusal.
  Connection(Impl* server, tcp::socket socket, std::string address, bool counted)
      : server_(server),
        socket_(std::move(socket)),
        deadline_(socket_.get_executor()),
        buffer_(WebServer::kMaxHeadBytes + 4096),
        address_(std::move(address)),
        counted_(counted),
        due_(socket_.get_executor()) {}

  void Start() { ReadHead(); }
  // Sends `answer` and ends the connection.
  void Finish(std::string answer) { Write(std::make_shared<std::string>(std::move(answer)), true); }
  // An event stream: sends what its viewer has not had, or a keep-alive.
  void Pump();
  // Ends the connection at once; what is pending on it finds it closed.
  void Close();

  bool counted() const { return counted_; }
  bool streaming() const { return streaming_; }
  bool delayed() const { return delay_.count() > 0; }
  const std::string& address() const { return address_; }

 private:
  void ReadHead();
  void OnHead(const ErrorCode& ec);
  void Route(const Request& request);
  // A body follows the head: none of it is read into memory.
  void RefuseBody() { Finish(TextAnswer(413, "this server takes no request body\n")); }
  void Reply(int status, std::string_view type, const std::string& body,
             std::string_view fields = {});
  void Json(int status, const std::string& body, const Request& request);
  // /api/state, /api/track or /api/status from `s`, the snapshot current
  // `delay` ago.
  void AnswerFrom(const BridgeSnapshot& s, std::string_view path, Micros delay,
                  const Request& request);
  // The same as they were `delay` (> 0) ago.
  void AnswerDelayed(std::string_view path, Micros delay, const Request& request);
  void StartStream(const Request& request, Micros delay);
  // A delayed stream: adds to `out` what brings its viewer to the snapshot
  // that was current `delay_` ago (or the status saying the web view holds
  // less of the past); returns when it is next due to move on.
  SteadyClock::time_point CatchDelayed(std::vector<SharedText>* out);
  void PumpDelayed();
  // Wakes a delayed stream at `due` on the bridge's clock.
  void WakeAt(SteadyClock::time_point due);
  void AskHistory(const Request& request, std::string path);
  void Write(std::shared_ptr<std::string> text, bool then_close);
  void WriteChunk(std::string lead, std::vector<SharedText> pieces);
  // Ends in order: no more sending, and what the client still sends is read
  // and dropped for a moment, so that the close does not reset the
  // connection before the client has read the last answer.
  void Linger();
  // Reads and drops what the client sends, and closes when it ends, fails
  // or has sent more than kLingerBytes.
  void DrainUntilClosed();
  void ArmDeadline(SteadyClock::duration within);
  // Past the deadline: cancels what the connection waits for, and again
  // until that ends (a cancel that falls between the reads or writes of a
  // composed operation finds nothing to cancel).
  void CancelUntilDone(std::uint64_t generation);
  void StopWaiting();

  Impl* const server_;
  tcp::socket socket_;
  asio::steady_timer deadline_;
  std::uint64_t deadline_generation_ = 0;  // grows with each ArmDeadline
  bool timed_out_ = false;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  const std::string address_;
  const bool counted_;
  bool closed_ = false;
  std::optional<std::list<Connection*>::iterator> waiting_;  // in the server's list
  bool keep_alive_ = true;
  bool head_only_ = false;
  std::size_t drained_ = 0;
  std::array<char, 4096> scratch_{};
  // An event stream's own.
  bool streaming_ = false;
  bool chunked_ = true;
  bool writing_ = false;
  Sent sent_;
  SteadyClock::time_point last_write_{};
  std::string lead_;
  std::vector<SharedText> in_flight_;
  // A delayed stream's own: its delay (0: live), its timer, what it has
  // been sent.
  Micros delay_{0};
  asio::steady_timer due_;
  std::optional<SteadyClock::time_point> due_at_;  // the wake-up armed
  std::string sent_status_key_;                    // status and message last sent
  std::shared_ptr<const std::string> sent_track_;  // the outline last sent
  bool race_begun_ = false;                        // sent_.race_id set from a first snapshot
};

bool WebServer::Impl::Listen(const std::string& address, std::uint16_t port, std::string* error) {
  const std::string where = address + ":" + std::to_string(port);
  std::uint32_t ip = 0;
  if (!ParseIPv4(address.c_str(), &ip)) {
    *error = "'" + address + "' is not a dotted IPv4 address";
    return false;
  }
  // Bound by the platform layer, which never lets two listeners share a
  // port: a second web view on a port in use fails instead of splitting
  // the viewers with the first.
  Socket socket = OpenTcpSocket();
  if (!socket.valid() || !BindIPv4(socket.get(), ip, port)) {
    *error = "cannot listen on " + where + " (in use, or not an address of this machine)";
    return false;
  }
  if (!::Listen(socket.get(), kBacklog)) {
    *error = "cannot listen on " + where + ": " + LastSocketErrorText();
    return false;
  }
  port_ = LocalPort(socket.get());
  ErrorCode ec;
  acceptor_.assign(tcp::v4(), socket.get(), ec);
  if (ec) {
    *error = "cannot listen on " + where + ": " + ec.message();
    return false;
  }
  socket.Release();
  return true;
}

void WebServer::Impl::Serve() {
  bridge_->SetOnPublish([this] {
    // At most one wake-up waits in the loop; it reads the newest snapshot.
    if (!publish_pending_.exchange(true)) {
      asio::post(ioc_, [this] {
        publish_pending_ = false;
        OnPublish();
      });
    }
  });
  Accept();
  Tick();
  for (;;) {
    try {
      ioc_.run();
      return;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "pitwall: web server: %s; serving on\n", e.what());
    }
  }
}

void WebServer::Impl::Accept() {
  acceptor_.async_accept([this](const ErrorCode& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec == asio::error::no_descriptors && EvictLongestWaiting()) {
      // Out of file handles: one waiting client makes room.
      NoteTurnedAway("out of file handles; closed the client waiting longest");
      return Accept();
    }
    if (ec) {
      // Try again in a moment rather than spin.
      NoteTurnedAway(("cannot accept (" + ec.message() + ")").c_str());
      accept_pause_.expires_after(std::chrono::milliseconds(100));
      accept_pause_.async_wait([this](const ErrorCode& e) {
        if (!e) Accept();
      });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void WebServer::Impl::Admit(tcp::socket socket) {
  ErrorCode ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // gone already
  socket.set_option(tcp::no_delay(true), ec);
  std::string address = peer.address().to_string();
  if (connections_ >= options_.max_viewers + kSpareConnections && !EvictLongestWaiting()) {
    return Refuse(std::move(socket), "the web view has as many connections open as it takes\n");
  }
  int& from = per_address_[address];
  if (from >= options_.max_per_address) {
    return Refuse(std::move(socket), "too many connections from your address (" + address +
                                         ") at once; close some and retry\n");
  }
  ++from;
  ++connections_;
  std::make_shared<Connection>(this, std::move(socket), std::move(address), true)->Start();
}

void WebServer::Impl::Refuse(tcp::socket socket, const std::string& why) {
  NoteTurnedAway("connections refused");
  if (refusing_ >= kMaxRefusing) return;  // the socket closes as it goes
  ++refusing_;
  auto connection = std::make_shared<Connection>(this, std::move(socket), std::string(), false);
  connection->Finish(
      TextAnswer(503, why, "Retry-After: " + std::to_string(WebServer::kRetryAfterS) + "\r\n"));
}

void WebServer::Impl::Tick() {
  ticker_.expires_after(std::chrono::seconds(1));
  ticker_.async_wait([this](const ErrorCode& ec) {
    if (ec) return;
    RefreshEvents();
    PumpStreams(true);
    Tick();
  });
}

void WebServer::Impl::OnPublish() {
  RefreshEvents();
  PumpStreams(false);
}

void WebServer::Impl::PumpStreams(bool delayed_too) {
  std::vector<std::shared_ptr<Connection>> streams;
  streams.reserve(streams_.size());
  for (const auto& entry : streams_) {
    if (delayed_too || !entry.second->delayed()) streams.push_back(entry.second);
  }
  for (const auto& stream : streams) stream->Pump();
}

void WebServer::Impl::RefreshEvents() {
  std::shared_ptr<const BridgeSnapshot> latest = bridge_->Latest();
  if (latest == events_.snapshot) return;
  const std::uint64_t id = latest->id;
  std::string status_key = latest->status + "\n" + latest->message;
  if (!events_.snapshot || status_key != status_key_) {
    status_key_ = std::move(status_key);
    ++events_.status_version;
  }
  if (latest->track_json && latest->track_json != track_json_) {
    if (!track_json_ || *latest->track_json != *track_json_) ++events_.track_version;
    track_json_ = latest->track_json;
  }
  events_.status =
      Event("status", id, StatusWithDelay(latest->status_json, Micros(0), bridge_->KeptSeconds()));
  events_.track = track_json_ ? Event("track", id, *track_json_) : nullptr;
  events_.state = latest->state_json.empty() ? nullptr : Event("state", id, latest->state_json);
  events_.change = latest->change_json.empty() ? nullptr : Event("change", id, latest->change_json);
  if (latest->race_events &&
      (!events_.snapshot || latest->race_events != events_.snapshot->race_events)) {
    events_.race.clear();
    for (const RaceEventText& e : *latest->race_events) {
      events_.race.emplace_back(e.id, Event("race", id, e.json));
    }
  }
  events_.snapshot = std::move(latest);
}

bool WebServer::Impl::TakeStream(Connection* connection) {
  if (static_cast<int>(streams_.size()) >= options_.max_viewers) {
    NoteTurnedAway("viewers turned away over --max-viewers");
    return false;
  }
  streams_.emplace(connection, connection->shared_from_this());
  return true;
}

bool WebServer::Impl::EvictLongestWaiting() {
  if (waiting_.empty()) return false;
  waiting_.front()->Close();  // takes itself off the list
  return true;
}

void WebServer::Impl::Forget(Connection* connection) {
  if (!connection->counted()) {
    --refusing_;
    return;
  }
  --connections_;
  const auto from = per_address_.find(connection->address());
  if (from != per_address_.end() && --from->second <= 0) per_address_.erase(from);
  if (connection->streaming()) streams_.erase(connection);
}

std::string WebServer::Impl::CorsFields(const Request& request) const {
  const std::string& allowed = options_.allow_origin;
  if (allowed.empty()) return "";
  if (allowed == "*") return "Access-Control-Allow-Origin: *\r\n";
  const auto origin = request.find(http::field::origin);
  if (origin != request.end() && origin->value() == allowed) {
    return "Access-Control-Allow-Origin: " + allowed + "\r\nVary: Origin\r\n";
  }
  return "Vary: Origin\r\n";
}

void WebServer::Impl::NoteTurnedAway(const char* why) {
  ++turned_away_;
  const auto now = SteadyClock::now();
  if (now - last_notice_ < kNoticeEvery) return;
  std::fprintf(stderr,
               "pitwall: web view: %s (%d in the last moments; %zu viewer(s) of at most %d, %d "
               "connection(s) open)\n",
               why, turned_away_, streams_.size(), options_.max_viewers, connections_);
  std::fflush(stderr);
  turned_away_ = 0;
  last_notice_ = now;
}

void WebServer::Impl::Connection::ArmDeadline(SteadyClock::duration within) {
  timed_out_ = false;
  const std::uint64_t generation = ++deadline_generation_;
  deadline_.expires_after(within);
  deadline_.async_wait([self = shared_from_this(), generation](const ErrorCode& ec) {
    if (ec || self->closed_ || generation != self->deadline_generation_) return;
    self->timed_out_ = true;
    self->CancelUntilDone(generation);
  });
}

void WebServer::Impl::Connection::CancelUntilDone(std::uint64_t generation) {
  ErrorCode ignored;
  socket_.cancel(ignored);
  // What was cancelled ends with an error and arms a deadline of its own
  // or closes; until then, cancel again.
  deadline_.expires_after(std::chrono::milliseconds(20));
  deadline_.async_wait([self = shared_from_this(), generation](const ErrorCode& ec) {
    if (ec || self->closed_ || generation != self->deadline_generation_) return;
    self->CancelUntilDone(generation);
  });
}

void WebServer::Impl::Connection::ReadHead() {
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(WebServer::kMaxHeadBytes));
  parser_->body_limit(0);  // a request that announces a body is refused on its head
  ArmDeadline(server_->options_.head_deadline);
  waiting_ = server_->waiting_.insert(server_->waiting_.end(), this);
  http::async_read_header(
      socket_, buffer_, *parser_,
      [self = shared_from_this()](const ErrorCode& ec, std::size_t) { self->OnHead(ec); });
}

void WebServer::Impl::Connection::StopWaiting() {
  if (!waiting_) return;
  server_->waiting_.erase(*waiting_);
  waiting_.reset();
}

void WebServer::Impl::Connection::OnHead(const ErrorCode& ec) {
  if (closed_) return;
  StopWaiting();
  if (timed_out_) {
    // Slow or silent: idle between requests is fine to close quietly; a
    // request begun and not finished is told why.
    if (buffer_.size() == 0 && !parser_->got_some()) return Close();
    return Finish(TextAnswer(408, "the request's head did not arrive within " +
                                      std::to_string(server_->options_.head_deadline.count()) +
                                      " ms\n"));
  }
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    return Finish(TextAnswer(431, "the request's head is over " +
                                      std::to_string(WebServer::kMaxHeadBytes) + " bytes\n"));
  }
  if (ec == http::error::body_limit) return RefuseBody();
  if (ec) {
    const bool malformed =
        ec.category() == http::make_error_code(http::error::bad_method).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message;
    if (malformed) return Finish(TextAnswer(400, "not an HTTP request this server understands\n"));
    return Close();  // the client left, or the connection failed
  }
  const Request& request = parser_->get();
  if (static_cast<std::size_t>(std::distance(request.begin(), request.end())) >
      WebServer::kMaxHeaderFields) {
    return Finish(TextAnswer(431, "the request has over " +
                                      std::to_string(WebServer::kMaxHeaderFields) +
                                      " header fields\n"));
  }
  if (!parser_->is_done()) return RefuseBody();
  keep_alive_ = request.keep_alive();
  head_only_ = request.method() == http::verb::head;
  if (request.method() != http::verb::get && !head_only_) {
    keep_alive_ = false;
    return Reply(405, "text/plain; charset=utf-8", "only GET and HEAD are served\n",
                 "Allow: GET, HEAD\r\n");
  }
  const auto host = request.find(http::field::host);
  const bool host_ok = host == request.end()
                           ? request.version() < 11
                           : HostAllowed(host->value(), server_->options_.allow_hosts);
  if (!host_ok) {
    const std::string name = host == request.end() ? "" : std::string(host->value());
    keep_alive_ = false;
    return Reply(403, "text/plain; charset=utf-8",
                 "this web view does not answer for the host name '" + name +
                     "' (a page elsewhere may be trying to read it); if it is yours, start "
                     "pitwall web with --allow-host NAME\n");
  }
  Route(request);
}

void WebServer::Impl::Connection::Route(const Request& request) {
  const std::string_view target = request.target();
  const std::string_view path = target.substr(0, target.find('?'));
  const Impl& server = *server_;
  if (path == "/" || path == "/overlay" || path == "/results") {
    const std::string page = path == "/results" ? "/results.html" : "/index.html";
    const std::optional<std::string> html = ReadWholeFile(server.options_.www_dir + page);
    if (!html || html->empty()) {
      return Reply(500, "text/plain; charset=utf-8",
                   "the page's files are missing from " + server.options_.www_dir + "\n");
    }
    return Reply(200, "text/html; charset=utf-8", *html, "Cache-Control: no-store\r\n");
  }
  if (path.substr(0, 8) == "/static/") {
    const std::string_view name = path.substr(8);
    const char* type = FileType(name);
    std::optional<std::string> file;
    if (type != nullptr && SafeFilePath(name)) {
      file = ReadWholeFile(server.options_.www_dir + "/" + std::string(name));
    }
    if (!file) return Reply(404, "text/plain; charset=utf-8", "no such file\n");
    return Reply(200, type, *file, "Cache-Control: no-cache\r\n");
  }
  const bool delayable = path == "/api/events" || path == "/api/state" || path == "/api/status" ||
                         path == "/api/track";
  Micros delay{0};
  if (delayable && !ParseDelay(target, &delay)) return Json(400, std::string(kBadDelay), request);
  if (path == "/api/events") {
    if (head_only_) {
      return Reply(405, "text/plain; charset=utf-8", "the event stream is read with GET\n",
                   "Allow: GET\r\n");
    }
    return StartStream(request, delay);
  }
  if (IsHistoryPath(path)) return AskHistory(request, std::string(path));
  if (delayable) {
    if (delay.count() > 0) return AnswerDelayed(path, delay, request);
    return AnswerFrom(*server.bridge_->Latest(), path, delay, request);
  }
  Reply(404, "text/plain; charset=utf-8", "not found\n");
}

void WebServer::Impl::Connection::AnswerFrom(const BridgeSnapshot& s, std::string_view path,
                                             Micros delay, const Request& request) {
  const std::string status = StatusWithDelay(s.status_json, delay, server_->bridge_->KeptSeconds());
  if (path == "/api/status") return Json(200, status, request);
  if (path == "/api/state") {
    return s.state_json.empty() ? Json(503, status, request) : Json(200, s.state_json, request);
  }
  return s.track_json ? Json(200, *s.track_json, request) : Json(503, status, request);
}

void WebServer::Impl::Connection::AnswerDelayed(std::string_view path, Micros delay,
                                                const Request& request) {
  const WebBridge& bridge = *server_->bridge_;
  const SteadyClock::time_point now = bridge.Now();
  const KeptSnapshot then = bridge.AsOf(now - delay);
  if (!then.snapshot) {
    return Json(path == "/api/status" ? 200 : 503,
                Gathering(delay, bridge.Past(), now, bridge.KeptSeconds()), request);
  }
  AnswerFrom(*then.snapshot, path, delay, request);
}

// The history is read on a thread of its own, so that a long query never
// holds up the event loop; the answer is written back on the loop.
void WebServer::Impl::Connection::AskHistory(const Request& request, std::string path) {
  Impl& server = *server_;
  std::string fields = "Cache-Control: no-store\r\n" + server.CorsFields(request);
  // The connection goes back to the loop with the answer: its last owner
  // must never be the history's thread.
  asio::post(server.history_pool_, [self = shared_from_this(), db = server.options_.db_path,
                                    path = std::move(path), fields = std::move(fields)]() mutable {
    HistoryAnswer answer = AnswerHistory(db, path);
    const auto loop = self->socket_.get_executor();
    asio::post(loop,
               [self = std::move(self), answer = std::move(answer), fields = std::move(fields)] {
                 if (!self->closed_)
                   self->Reply(answer.status, "application/json", answer.body, fields);
               });
  });
}

void WebServer::Impl::Connection::Reply(int status, std::string_view type, const std::string& body,
                                        std::string_view fields) {
  auto text =
      std::make_shared<std::string>(AnswerHead(status, type, body.size(), fields, keep_alive_));
  if (!head_only_) *text += body;
  Write(std::move(text), !keep_alive_);
}

void WebServer::Impl::Connection::Json(int status, const std::string& body,
                                       const Request& request) {
  Reply(status, "application/json", body,
        "Cache-Control: no-store\r\n" + server_->CorsFields(request));
}

void WebServer::Impl::Connection::StartStream(const Request& request, Micros delay) {
  Impl& server = *server_;
  const std::string cors = server.CorsFields(request);
  if (!server.TakeStream(this)) {
    const std::string body =
        "{\"status\":\"too_many_viewers\",\"message\":\"this web view serves " +
        std::to_string(server.options_.max_viewers) + " viewers at once; retry in " +
        std::to_string(WebServer::kRetryAfterS) + " s\"}";
    return Reply(503, "application/json", body,
                 "Retry-After: " + std::to_string(WebServer::kRetryAfterS) +
                     "\r\nCache-Control: no-store\r\n" + cors);
  }
  streaming_ = true;
  delay_ = delay;
  sent_.changes = QueryFlag(request.target(), "changes");
  chunked_ = request.version() >= 11;
  // A viewer that falls behind skips states instead of getting them late,
  // and one that stops reading is found out in seconds, not minutes: the
  // system may not queue more than this for it.
  ErrorCode ignored;
  socket_.set_option(asio::socket_base::send_buffer_size(kStreamSendBuffer), ignored);
  server.RefreshEvents();
  const auto resume = request.find("Last-Event-ID");
  std::uint64_t id = 0;
  if (resume != request.end() && ParseEventId(resume->value(), &id)) {
    // A browser coming back: nothing it has already seen, but the status
    // and the outline again, as it may have missed their changes. Ids of
    // an earlier run are ignored.
    sent_.id = id > server.events_.snapshot->id ? 0 : id;
  }
  // Race events from now on: the page reads the ones before from the
  // history. A delayed stream begins with the snapshot it starts from.
  if (!delayed() && !server.events_.race.empty()) {
    sent_.race_id = server.events_.race.back().first;
  }
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n";
  head += "Cache-Control: no-store\r\nX-Accel-Buffering: no\r\n";
  head += chunked_ ? "Transfer-Encoding: chunked\r\n" : "Connection: close\r\n";
  head += kCommonFields;
  head += cors;
  head += "\r\n";
  std::vector<SharedText> pieces;
  static const SharedText retry = std::make_shared<const std::string>("retry: 1000\n\n");
  pieces.push_back(retry);
  if (delayed()) {
    const SteadyClock::time_point due = CatchDelayed(&pieces);
    WriteChunk(std::move(head), std::move(pieces));
    WakeAt(due);
  } else {
    Catch(server.events_, &sent_, &pieces);
    WriteChunk(std::move(head), std::move(pieces));
  }
  DrainUntilClosed();  // a viewer has nothing to say: what comes is its end
}

SteadyClock::time_point WebServer::Impl::Connection::CatchDelayed(std::vector<SharedText>* out) {
  const WebBridge& bridge = *server_->bridge_;
  const SteadyClock::time_point now = bridge.Now();
  const KeptSnapshot then = bridge.AsOf(now - delay_);
  if (!then.snapshot) {
    // Not that much of the past yet: the viewer is told, and the stream
    // moves once the oldest kept snapshot is due (or to say how long
    // still, on the server's tick).
    const KeptPast past = bridge.Past();
    const std::string status = Gathering(delay_, past, now, bridge.KeptSeconds());
    const std::string key = "gathering\n" + status.substr(0, status.find(",\"id\":"));
    if (key != sent_status_key_) {
      out->push_back(Event("status", sent_.id, status));
      sent_status_key_ = key;
    }
    return past.oldest + delay_;
  }
  const BridgeSnapshot& s = *then.snapshot;
  std::string key = s.status + "\n" + s.message;
  if (key != sent_status_key_) {
    out->push_back(
        Event("status", s.id, StatusWithDelay(s.status_json, delay_, bridge.KeptSeconds())));
    sent_status_key_ = std::move(key);
  }
  if (s.track_json && s.track_json != sent_track_) {
    if (!sent_track_ || *s.track_json != *sent_track_) PushEvent("track", s.id, s.track_json, out);
    sent_track_ = s.track_json;
  }
  if (sent_.changes) {
    if (!s.state_json.empty() && s.state_id != sent_.state_id) {
      if (!s.change_json.empty() && s.change_base == sent_.state_id) {
        PushEvent("change", s.id, SharedText(then.snapshot, &s.change_json), out);
      } else {
        PushEvent("state", s.id, SharedText(then.snapshot, &s.state_json), out);
      }
      sent_.state_id = s.state_id;
    }
  } else if (!s.state_json.empty() && s.id > sent_.id) {
    PushEvent("state", s.id, SharedText(then.snapshot, &s.state_json), out);
  }
  sent_.id = std::max(sent_.id, s.id);
  if (s.race_events) {
    for (const RaceEventText& e : *s.race_events) {
      if (race_begun_ && e.id > sent_.race_id) {
        PushEvent("race", s.id, SharedText(s.race_events, &e.json), out);
      }
    }
    if (!s.race_events->empty()) sent_.race_id = std::max(sent_.race_id, s.race_events->back().id);
  }
  race_begun_ = true;
  const KeptSnapshot next = bridge.After(s.id);
  // Nothing newer yet: whatever comes is published after now.
  return next.snapshot ? next.published + delay_ : now + delay_;
}

void WebServer::Impl::Connection::PumpDelayed() {
  if (!streaming_ || writing_ || closed_) return;
  std::vector<SharedText> pieces;
  const SteadyClock::time_point due = CatchDelayed(&pieces);
  WakeAt(due);
  if (pieces.empty()) {
    if (SteadyClock::now() - last_write_ < kKeepAliveEvery) return;
    static const SharedText keep_alive = std::make_shared<const std::string>(": keep-alive\n\n");
    pieces.push_back(keep_alive);
  }
  WriteChunk(std::string(), std::move(pieces));
}

void WebServer::Impl::Connection::WakeAt(SteadyClock::time_point due) {
  if (due_at_ == due) return;  // armed for it already
  due_at_ = due;
  due_.expires_after(due - server_->bridge_->Now());
  due_.async_wait([self = shared_from_this(), due](const ErrorCode& ec) {
    if (ec || self->closed_ || self->due_at_ != due) return;
    self->due_at_.reset();
    self->Pump();
  });
}

void WebServer::Impl::Connection::Pump() {
  if (delayed()) return PumpDelayed();
  if (!streaming_ || writing_ || closed_) return;
  std::vector<SharedText> pieces;
  Catch(server_->events_, &sent_, &pieces);
  if (pieces.empty()) {
    if (SteadyClock::now() - last_write_ < kKeepAliveEvery) return;
    static const SharedText keep_alive = std::make_shared<const std::string>(": keep-alive\n\n");
    pieces.push_back(keep_alive);
  }
  WriteChunk(std::string(), std::move(pieces));
}

void WebServer::Impl::Connection::WriteChunk(std::string lead, std::vector<SharedText> pieces) {
  std::size_t size = 0;
  for (const SharedText& piece : pieces) size += piece->size();
  lead_ = std::move(lead);
  if (chunked_) {
    char hex[24];
    std::snprintf(hex, sizeof(hex), "%zx\r\n", size);
    lead_ += hex;
  }
  std::vector<asio::const_buffer> buffers;
  buffers.reserve(pieces.size() + 2);
  buffers.push_back(asio::buffer(lead_));
  for (const SharedText& piece : pieces) buffers.push_back(asio::buffer(*piece));
  static constexpr char kChunkEnd[] = "\r\n";
  if (chunked_) buffers.push_back(asio::buffer(kChunkEnd, 2));
  in_flight_ = std::move(pieces);
  writing_ = true;
  ArmDeadline(server_->options_.stream_stall);
  asio::async_write(socket_, buffers,
                    [self = shared_from_this()](const ErrorCode& ec, std::size_t) {
                      if (self->closed_) return;
                      self->writing_ = false;
                      self->in_flight_.clear();
                      if (ec) return self->Close();  // gone, or stalled past the limit
                      self->deadline_.cancel();
                      self->last_write_ = SteadyClock::now();
                      self->Pump();  // what was published meanwhile
                    });
}

void WebServer::Impl::Connection::Write(std::shared_ptr<std::string> text, bool then_close) {
  ArmDeadline(kWriteDeadline);
  asio::async_write(
      socket_, asio::buffer(*text),
      [self = shared_from_this(), text, then_close](const ErrorCode& ec, std::size_t) {
        if (self->closed_) return;
        if (ec) return self->Close();
        if (then_close) return self->Linger();
        self->ReadHead();
      });
}

void WebServer::Impl::Connection::Linger() {
  ErrorCode ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  drained_ = 0;
  ArmDeadline(kLingerFor);
  DrainUntilClosed();
}

void WebServer::Impl::Connection::DrainUntilClosed() {
  socket_.async_read_some(asio::buffer(scratch_),
                          [self = shared_from_this()](const ErrorCode& ec, std::size_t n) {
                            if (self->closed_) return;
                            self->drained_ += n;
                            if (ec || self->drained_ > kLingerBytes) return self->Close();
                            self->DrainUntilClosed();
                          });
}

void WebServer::Impl::Connection::Close() {
  if (closed_) return;
  closed_ = true;
  StopWaiting();
  ErrorCode ignored;
  deadline_.cancel();
  due_.cancel();
  socket_.close(ignored);
  server_->Forget(this);
}

WebServer::WebServer(WebBridge* bridge, WebServerOptions options)
    : impl_(std::make_unique<Impl>(bridge, std::move(options))) {}

WebServer::~WebServer() = default;

bool WebServer::Listen(const std::string& address, std::uint16_t port, std::string* error) {
  return impl_->Listen(address, port, error);
}

std::uint16_t WebServer::port() const { return impl_->port(); }

void WebServer::Serve() { impl_->Serve(); }

void WebServer::Stop() { impl_->Stop(); }
