// The real datagram sink: UDP towards every configured sFlow collector. Each datagram goes to
// each collector from a socket of the collector's own; a collector that fails does not hold
// up the others, every datagram it misses is counted, its failures (ICMP errors included) are
// logged without flooding, and collectors given by name are looked up beside the sending
// threads, at start and again from time to time, so that one that moves is followed.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "collector_list.h"
#include "datagram_sink.h"
#include "name_lookups.h"

namespace wendrel {

class CollectorSocket : public DatagramSink {
 public:
  // How long open() waits for the first answers of the name server: a start is not held up
  // longer by one that does not answer, and a stop then comes through within a second.
  static constexpr std::chrono::milliseconds kFirstLookupWait{500};

  CollectorSocket();
  // `resolver` is shared with lookups that may outlive the socket; `clock` must outlive it.
  CollectorSocket(std::shared_ptr<CollectorResolver> resolver, Clock& clock);
  // For resolvers that answer at once: `resolver` must outlive every lookup.
  CollectorSocket(CollectorResolver& resolver, Clock& clock);
  ~CollectorSocket() override;
  CollectorSocket(const CollectorSocket&) = delete;
  CollectorSocket& operator=(const CollectorSocket&) = delete;

  // Parses the collector list and looks the names up, waiting at most kFirstLookupWait for
  // the answers. Throws when the list is not valid, or when every entry has answered and
  // none resolves; an entry that does not resolve (or has no answer yet) while another does
  // is logged at WARN and tried again later.
  void open(const std::string& collectorAddress) override;
  // Sends the datagram to every collector whose address is known, and counts it as missed
  // by the others; failures are logged here, per collector, and never thrown. Throws only
  // when open() never succeeded.
  void send(const uint8_t* data, size_t size) override;
  // Collects ICMP errors and the answers of lookups, and starts the lookups due: every 5
  // minutes, and every 30 seconds while sends to a collector fail or its name does not
  // resolve. Never waits.
  void maintain() override;
  std::vector<CollectorFailures> failures() override;
  void close() noexcept override;

  // Waits up to `wait` for the lookups under way, then takes their answers in.
  void awaitLookups(std::chrono::milliseconds wait);

 private:
  struct Target {
    CollectorEntry entry;
    std::string label;  // as the operator wrote it, for the log
    boost::asio::ip::udp::endpoint endpoint;
    std::unique_ptr<boost::asio::ip::udp::socket> socket;  // for the endpoint's family
    bool resolved = false;
    bool lookupFailing = false;
    uint64_t lastLookupMs = 0;
    uint64_t failures = 0;  // datagrams missed since open()
    // `failing` from a failure until a datagram has gone out with no error after it.
    bool failing = false;
    bool sentSinceFailure = false;
    uint64_t failingSinceMs = 0;
    // The log: a line at most every 10 s, counting the failures since the last one.
    bool reported = false;
    bool spellReported = false;
    uint64_t lastReportMs = 0;
    uint32_t unreported = 0;
  };

  void takeAnswers(std::vector<NameLookups::Answer> answers, bool quiet);
  void sendTo(Target& target, const uint8_t* data, size_t size, uint64_t now);
  boost::asio::ip::udp::socket& socketFor(Target& target);
  // Counts what came back refused since the last look; notes a recovery when nothing did.
  void collectIcmpErrors(Target& target, uint64_t now);
  void failed(Target& target, const std::string& why, uint64_t now);

  std::unique_ptr<Clock> ownedClock_;
  Clock& clock_;
  NameLookups lookups_;
  // Only synchronous operations are used, so the context is never run.
  boost::asio::io_context ioContext_;
  // Guards `targets_` between send() (a capture thread, under the reporter's lock) and the
  // service thread; nothing under it waits for the network.
  std::mutex mutex_;
  std::vector<Target> targets_;
  bool open_ = false;
};

}  // namespace wendrel
