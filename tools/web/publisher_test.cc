#include "tools/web/publisher.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "testing/eventually.h"
#include "tools/web/state_change.h"
#include "tools/web/web_bridge.h"

namespace {

using nlohmann::json;

struct Message {
  std::string channel;
  std::string event;
  std::string body;
  std::string authorization;
  std::string type;
};

// A pub/sub server as the publisher sees one: it takes messages by POST to
// /pub/<channel>, answers a GET of a channel it has 200 and of one it has
// not 404, and can be made to refuse, to be slow or to forget.
class FakePubSub {
 public:
  FakePubSub() { Start(0); }
  ~FakePubSub() { Stop(); }

  void Start(int port) {
    server_ = std::make_unique<httplib::Server>();
    server_->Post(R"(/pub/(\w+))",
                  [this](const httplib::Request& request, httplib::Response& response) {
                    if (slow_) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                    std::lock_guard<std::mutex> lock(mu_);
                    if (refuse_ != 0) {
                      response.status = refuse_;
                      return;
                    }
                    Message m{request.matches[1], request.get_header_value("X-EventSource-Event"),
                              request.body, request.get_header_value("Authorization"),
                              request.get_header_value("Content-Type")};
                    channels_[m.channel] = true;
                    messages_.push_back(std::move(m));
                    response.status = 202;
                  });
    server_->Get(R"(/pub/(\w+))",
                 [this](const httplib::Request& request, httplib::Response& response) {
                   std::lock_guard<std::mutex> lock(mu_);
                   response.status = channels_.count(request.matches[1]) ? 200 : 404;
                 });
    if (port == 0) {
      port_ = server_->bind_to_any_port("127.0.0.1");
    } else {
      ASSERT_TRUE(server_->bind_to_port("127.0.0.1", port));
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Bound already: connections wait in the backlog until it listens.
  }
  void Stop() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(mu_);
    channels_.clear();
  }
  void Refuse(int status) {
    std::lock_guard<std::mutex> lock(mu_);
    refuse_ = status;
  }
  void SetSlow(bool slow) { slow_ = slow; }
  std::vector<Message> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(messages_, {});
  }
  std::vector<Message> Seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/pub/"; }
  int port() const { return port_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mu_;
  std::vector<Message> messages_;
  std::map<std::string, bool> channels_;
  int refuse_ = 0;
  std::atomic<bool> slow_{false};
};

std::string StateAt(int k) {
  return R"({"format":"pitwall-timing","version":1,"received_unix_s":)" + std::to_string(k) +
         R"(.25,"updates":)" + std::to_string(k) + R"(,"session":{"time_s":)" +
         std::to_string(k * 10) + R"(},"cars":[{"index":0,"laps":)" + std::to_string(k / 3) +
         R"(,"gap":null},{"index":4,"laps":0,"gap":{"s":)" + std::to_string(k) + "}}]}";
}

class PublisherTest : public ::testing::Test {
 protected:
  // Snapshot k: state k, status "live" with `message`, the outline, and
  // race events 1..`events` (the newest 64 kept, as the bridge does).
  void Publish(int k, const std::string& message = "", int events = 0) {
    BridgeSnapshot s;
    s.status = "live";
    s.message = message;
    s.state_json = StateAt(k);
    s.track_json = track_;
    if (events > 0) {
      auto list = std::make_shared<std::vector<RaceEventText>>();
      for (int e = std::max(1, events - 63); e <= events; ++e) {
        list->push_back({e, "{\"kind\":\"overtake\",\"id\":" + std::to_string(e) + "}"});
      }
      s.race_events = std::move(list);
    }
    bridge_.PublishContent(std::move(s));
  }
  PublisherOptions Options() {
    PublisherOptions o;
    o.url = pubsub_.Url();
    o.token = "s3cret";
    o.first_retry = std::chrono::milliseconds(50);
    o.max_retry = std::chrono::milliseconds(200);
    o.io_timeout = std::chrono::milliseconds(500);
    o.check_every = std::chrono::milliseconds(100);
    o.say = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(said_mu_);
      said_.push_back(line);
    };
    return o;
  }
  std::vector<std::string> Said() {
    std::lock_guard<std::mutex> lock(said_mu_);
    return said_;
  }
  // Waits for `n` messages in all.
  bool WaitFor(std::size_t n) {
    return Eventually([&] { return pubsub_.Seen().size() >= n; }, 10000);
  }

  FakePubSub pubsub_;
  const std::shared_ptr<const std::string> track_ =
      std::make_shared<const std::string>(R"({"strips":[{"kind":1,"points":[[0,0],[1,1]]}]})");
  WebBridge bridge_{"127.0.0.1", 1};  // never started: fed by Publish
  std::mutex said_mu_;
  std::vector<std::string> said_;
};

TEST_F(PublisherTest, SendsEveryEventOnItsChannelAndChangesThatFollowOnExactly) {
  Publish(1, "", 3);
  Publisher publisher(&bridge_, Options());
  publisher.Start();
  // The first: status, outline, a whole state on both channels; the race
  // so far is the history's, not sent.
  ASSERT_TRUE(WaitFor(4));
  std::vector<Message> first = pubsub_.Take();
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[0].channel + "/" + first[0].event, "status/status");
  EXPECT_EQ(json::parse(first[0].body),
            json::parse(R"({"status":"live","message":"","id":1,"delay_s":0})"));
  EXPECT_EQ(first[1].channel + "/" + first[1].event, "track/track");
  EXPECT_EQ(first[1].body, *track_);
  EXPECT_EQ(first[2].channel + "/" + first[2].event, "change/state");
  EXPECT_EQ(first[3].channel + "/" + first[3].event, "state/state");
  EXPECT_EQ(first[2].body, StateAt(1));
  EXPECT_EQ(first[3].body, StateAt(1));
  for (const Message& m : first) {
    EXPECT_EQ(m.authorization, "Bearer s3cret");
    EXPECT_EQ(m.type, "application/json");
  }

  // Then one change a state, a whole state on the state channel every
  // tenth, the status when it changes, and each new race event once.
  for (int k = 2; k <= 22; ++k) {
    Publish(k, k >= 12 ? "lap 2" : "", k == 15 ? 5 : 3);
    // Publications that come faster than the server answers are still
    // sent one by one.
  }
  ASSERT_TRUE(Eventually(
      [&] {
        const auto seen = pubsub_.Seen();
        return !seen.empty() && seen.back().channel == "change" &&
               json::parse(seen.back().body).value("id", 0) == 22;
      },
      10000));
  publisher.Stop();
  json held = json::parse(first[2].body);
  std::vector<std::string> order;
  int k = 1;
  for (const Message& m : pubsub_.Take()) {
    order.push_back(m.channel + "/" + m.event);
    if (m.channel == "change") {
      ASSERT_EQ(m.event, "change");
      const auto next = ApplyStateChange(held, json::parse(m.body));
      ASSERT_TRUE(next.has_value()) << m.body;
      held = *next;
      EXPECT_EQ(held, json::parse(StateAt(++k)));
    } else if (m.channel == "state") {
      EXPECT_EQ(m.body, StateAt(k));
    } else if (m.channel == "race") {
      EXPECT_EQ(k, 15);
    } else if (m.channel == "status") {
      EXPECT_EQ(json::parse(m.body)["message"], "lap 2");
    }
  }
  EXPECT_EQ(k, 22);
  std::vector<std::string> want;
  for (int i = 2; i <= 22; ++i) {
    if (i == 12) want.push_back("status/status");
    want.push_back("change/change");
    if (i == 11 || i == 21) want.push_back("state/state");
    if (i == 15) want.insert(want.end(), {"race/race", "race/race"});
  }
  EXPECT_EQ(order, want);
  EXPECT_TRUE(Said().empty());
}

TEST_F(PublisherTest, AnOutageIsSaidOnceSkippedAndRecoveredFromAWholeState) {
  Publish(1);
  Publisher publisher(&bridge_, Options());
  publisher.Start();
  ASSERT_TRUE(WaitFor(4));
  pubsub_.Take();
  const int port = pubsub_.port();
  pubsub_.Stop();
  // The bridge goes on meanwhile; the publisher keeps none of it.
  for (int k = 2; k <= 200; ++k) {
    Publish(k);
    if (k % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(Eventually([&] { return !Said().empty(); }, 5000));
  // Refused at once, or a kept connection found broken.
  const std::string failed = "publishing to " + pubsub_.Url() + " failed: ";
  EXPECT_TRUE(Said()[0] == failed + "cannot connect; retrying" ||
              Said()[0] ==
                  failed + "no answer within the time allowed, or the connection broke; retrying" ||
              Said()[0] ==
                  failed + "sending took longer than allowed, or the connection broke; retrying")
      << Said()[0];
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Said().size(), 1u) << "one line for the whole outage";

  pubsub_.Start(port);
  ASSERT_TRUE(Eventually([&] { return Said().size() >= 2; }, 10000));
  EXPECT_EQ(Said()[1], "publishing to " + pubsub_.Url() + " again (dropped 198 updates)");
  // Everything again, from the newest: status, outline, a whole state.
  ASSERT_TRUE(WaitFor(4));
  const std::vector<Message> again = pubsub_.Take();
  ASSERT_GE(again.size(), 4u);
  EXPECT_EQ(again[0].channel, "status");
  EXPECT_EQ(again[1].channel, "track");
  EXPECT_EQ(again[2].channel + "/" + again[2].event, "change/state");
  EXPECT_EQ(again[2].body, StateAt(200));
  EXPECT_EQ(again[3].channel, "state");
  EXPECT_EQ(publisher.counts().dropped, 198u);
  EXPECT_GE(publisher.counts().failures, 1u);

  // Refused, then slower than the time allowed: each said, each over.
  pubsub_.Refuse(403);
  Publish(201);
  ASSERT_TRUE(Eventually([&] { return Said().size() >= 3; }, 5000));
  EXPECT_NE(Said()[2].find("failed: answered 403 to a message for /pub/"), std::string::npos)
      << Said()[2];
  pubsub_.Refuse(0);
  ASSERT_TRUE(Eventually([&] { return Said().size() >= 4; }, 5000));
  pubsub_.SetSlow(true);
  Publish(202);
  ASSERT_TRUE(Eventually([&] { return Said().size() >= 5; }, 5000));
  EXPECT_EQ(Said()[4], "publishing to " + pubsub_.Url() +
                           " failed: no answer within the time allowed, or the connection broke; "
                           "retrying");
  pubsub_.SetSlow(false);
  ASSERT_TRUE(Eventually([&] { return Said().size() >= 6; }, 10000));
  EXPECT_EQ(Said()[5].rfind("publishing to " + pubsub_.Url() + " again", 0), 0u);
}

TEST_F(PublisherTest, AServerThatLostItsChannelsIsSentEverythingAgain) {
  Publish(1);
  Publisher publisher(&bridge_, Options());
  publisher.Start();
  ASSERT_TRUE(WaitFor(4));
  pubsub_.Take();
  pubsub_.Forget();  // as a restarted server, or one whose Redis restarted
  ASSERT_TRUE(Eventually([&] { return publisher.counts().republished >= 1; }, 5000));
  ASSERT_TRUE(WaitFor(4));
  const std::vector<Message> again = pubsub_.Take();
  EXPECT_EQ(again[0].channel, "status");
  EXPECT_EQ(again[1].channel, "track");
  EXPECT_EQ(again[2].body, StateAt(1));
  EXPECT_TRUE(Said().empty()) << "nothing failed";
}

TEST(PublishUrlTest, TakesHttpAndHttpsUrlsWithAHostOnly) {
  PublishTarget t;
  std::string error;
  ASSERT_TRUE(ParsePublishUrl("http://127.0.0.1:8090/pub/", &t, &error)) << error;
  EXPECT_EQ(t.origin, "http://127.0.0.1:8090");
  EXPECT_EQ(t.path, "/pub");
  ASSERT_TRUE(ParsePublishUrl("http://fanout.example.org", &t, &error));
  EXPECT_EQ(t.origin, "http://fanout.example.org");
  EXPECT_EQ(t.path, "");
  ASSERT_TRUE(ParsePublishUrl("http://10.0.0.2/race1/pub", &t, &error));
  EXPECT_EQ(t.path, "/race1/pub");
  for (const char* bad : {"", "127.0.0.1:8090/pub", "ftp://host/pub", "http://", "http:///pub",
                          "http://host:0/", "http://host:65536/", "http://host:80x/",
                          "http://user@host/", "http://host/pub?x=1", "http://host:/pub"}) {
    EXPECT_FALSE(ParsePublishUrl(bad, &t, &error)) << bad;
    EXPECT_NE(error.find("not '" + std::string(bad) + "'"), std::string::npos) << error;
  }
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
  ASSERT_TRUE(ParsePublishUrl("https://fanout.example.org:8443/race1/pub", &t, &error)) << error;
  EXPECT_EQ(t.origin, "https://fanout.example.org:8443");
  EXPECT_EQ(t.path, "/race1/pub");
#else
  EXPECT_FALSE(ParsePublishUrl("https://host/pub", &t, &error));
  EXPECT_EQ(error,
            "this build of pitwall publishes over http:// only: publish to the pub/sub server "
            "over a private network or a tunnel");
#endif
}

}  // namespace
