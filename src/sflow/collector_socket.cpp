#include "collector_socket.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace wendrel {

namespace {

constexpr uint64_t kLookupPeriodMs = 5 * 60 * 1000;
// While a collector fails or does not resolve, its name is looked up this often.
constexpr uint64_t kRetryLookupMs = 30 * 1000;
// A collector's failures, after the first, are reported at most this often.
constexpr uint64_t kFailureReportMs = 10 * 1000;

log4cplus::Logger logger() {
  return log4cplus::Logger::getInstance("PacketReporter");
}

// host:port, with an IPv6 address in brackets.
std::string hostPort(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string describe(const boost::asio::ip::udp::endpoint& endpoint) {
  return hostPort(endpoint.address().to_string(), endpoint.port());
}

std::string labelOf(const CollectorEntry& entry) {
  return hostPort(entry.host, entry.port);
}

}  // namespace

boost::asio::ip::udp::endpoint SystemResolver::resolve(const CollectorEntry& entry) {
  using boost::asio::ip::udp;
  udp::resolver resolver(ioContext_);
  const std::string service = std::to_string(entry.port);
  udp::resolver::results_type results;
  if (entry.literal) {
    results = resolver.resolve(entry.host, service,
                               udp::resolver::numeric_host | udp::resolver::numeric_service);
  } else {
    boost::system::error_code noIpv4;
    results =
        resolver.resolve(udp::v4(), entry.host, service, udp::resolver::address_configured, noIpv4);
    if (noIpv4 || results.empty())
      results = resolver.resolve(udp::v6(), entry.host, service, udp::resolver::address_configured);
  }
  if (results.empty())
    throw boost::system::system_error(boost::asio::error::host_not_found, "resolve");
  return results.begin()->endpoint();
}

CollectorSocket::CollectorSocket()
    : ownedResolver_(std::make_unique<SystemResolver>()),
      ownedClock_(std::make_unique<SteadyClock>()),
      resolver_(*ownedResolver_),
      clock_(*ownedClock_),
      socketV4_(ioContext_),
      socketV6_(ioContext_) {}

CollectorSocket::CollectorSocket(CollectorResolver& resolver, Clock& clock)
    : resolver_(resolver), clock_(clock), socketV4_(ioContext_), socketV6_(ioContext_) {}

CollectorSocket::~CollectorSocket() {
  close();
}

void CollectorSocket::open(const std::string& collectorAddress) {
  std::string error;
  const auto entries = parseCollectorList(collectorAddress, error);
  if (!entries)
    throw std::invalid_argument("CollectorAddress: " + error);
  std::vector<Target> targets;
  for (const CollectorEntry& entry : *entries) {
    targets.emplace_back();
    targets.back().entry = entry;
    targets.back().label = labelOf(entry);
  }

  // A single collector keeps the old rule: if it does not resolve, the agent does not start.
  std::exception_ptr firstFailure;
  size_t resolved = 0;
  for (Target& target : targets) {
    target.lastLookupMs = clock_.nowMs();
    try {
      target.endpoint = resolver_.resolve(target.entry);
      target.resolved = true;
      ++resolved;
    } catch (const std::exception& e) {
      if (!firstFailure)
        firstFailure = std::current_exception();
      target.lookupFailing = true;
      if (targets.size() > 1)
        LOG4CPLUS_WARN_FMT(logger(), "Collector %s does not resolve (%s); trying again later",
                           target.label.c_str(), e.what());
    }
  }
  if (resolved == 0)
    std::rethrow_exception(firstFailure);

  std::lock_guard<std::mutex> lock(mutex_);
  targets_ = std::move(targets);
  for (const Target& target : targets_) {
    if (target.resolved)
      socketFor(target.endpoint);
  }
  open_ = true;
}

boost::asio::ip::udp::socket& CollectorSocket::socketFor(
    const boost::asio::ip::udp::endpoint& endpoint) {
  auto& socket = endpoint.address().is_v6() ? socketV6_ : socketV4_;
  if (!socket.is_open())
    socket.open(endpoint.protocol());
  return socket;
}

void CollectorSocket::send(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_)
    throw boost::system::system_error(boost::asio::error::bad_descriptor, "send_to");
  const uint64_t now = clock_.nowMs();
  for (Target& target : targets_) {
    if (target.resolved)
      sendTo(target, data, size, now);
  }
}

void CollectorSocket::sendTo(Target& target, const uint8_t* data, size_t size, uint64_t now) {
  boost::system::error_code error;
  try {
    socketFor(target.endpoint).send_to(boost::asio::buffer(data, size), target.endpoint, 0, error);
  } catch (const boost::system::system_error& e) {  // the socket could not be opened
    error = e.code();
  }
  if (!error) {
    if (target.failing)
      LOG4CPLUS_INFO_FMT(logger(),
                         "Sending sFlow packets to collector %s again (%u more failed since the "
                         "last report)",
                         target.label.c_str(), target.unreported);
    target.failing = false;
    target.unreported = 0;
    return;
  }
  const std::string detail =
      "send_to " + describe(target.endpoint) + " (" + target.label + "): " + error.message();
  if (!target.failing) {
    // The first failure is logged at once, as every failure once was.
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to send sFlow packet: %s", detail.c_str());
    target.failing = true;
    target.failingSinceMs = now;
    target.lastReportMs = now;
    target.unreported = 0;
    return;
  }
  ++target.unreported;
  if (now - target.lastReportMs >= kFailureReportMs) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to send sFlow packet: %s (%u more since the last report)",
                        detail.c_str(), target.unreported);
    target.lastReportMs = now;
    target.unreported = 0;
  }
}

void CollectorSocket::maintain() {
  std::vector<size_t> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t now = clock_.nowMs();
    for (size_t i = 0; i < targets_.size(); ++i) {
      const Target& target = targets_[i];
      if (target.entry.literal)
        continue;
      const bool troubled =
          !target.resolved || (target.failing && now - target.failingSinceMs >= kRetryLookupMs);
      const uint64_t period = troubled ? kRetryLookupMs : kLookupPeriodMs;
      if (now - target.lastLookupMs >= period)
        due.push_back(i);
    }
  }
  // The lookups run without the lock: a slow resolver delays no datagram.
  for (size_t i : due) {
    const CollectorEntry entry = targets_[i].entry;  // never changes after open()
    boost::asio::ip::udp::endpoint endpoint;
    std::string failure;
    try {
      endpoint = resolver_.resolve(entry);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Target& target = targets_[i];
    target.lastLookupMs = clock_.nowMs();
    if (!failure.empty()) {
      // Said once per spell of failures; the last address found stays in use meanwhile.
      if (!target.lookupFailing)
        LOG4CPLUS_WARN_FMT(logger(), "Collector %s does not resolve (%s); trying again later",
                           target.label.c_str(), failure.c_str());
      target.lookupFailing = true;
      continue;
    }
    target.lookupFailing = false;
    if (target.resolved && endpoint == target.endpoint)
      continue;
    const std::string was =
        target.resolved ? " (was " + describe(target.endpoint) + ")" : std::string();
    LOG4CPLUS_INFO_FMT(logger(), "Collector %s is now at %s%s", target.label.c_str(),
                       describe(endpoint).c_str(), was.c_str());
    target.endpoint = endpoint;
    target.resolved = true;
  }
}

void CollectorSocket::close() noexcept {
  // Closing a UDP socket can only fail on a descriptor that is already gone; there is
  // nothing to recover at that point, so the error is dropped.
  boost::system::error_code ignored;
  std::lock_guard<std::mutex> lock(mutex_);
  if (socketV4_.is_open())
    socketV4_.close(ignored);
  if (socketV6_.is_open())
    socketV6_.close(ignored);
  open_ = false;
}

}  // namespace wendrel
