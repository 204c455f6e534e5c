#include "collector_socket.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>
#include <stdexcept>

#include "icmp_errors.h"

namespace wendrel {

namespace {

using boost::asio::ip::udp;

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

std::string describe(const udp::endpoint& endpoint) {
  return hostPort(endpoint.address().to_string(), endpoint.port());
}

}  // namespace

CollectorSocket::CollectorSocket()
    : ownedClock_(std::make_unique<SteadyClock>()),
      clock_(*ownedClock_),
      lookups_(std::make_shared<SystemResolver>()) {}

CollectorSocket::CollectorSocket(std::shared_ptr<CollectorResolver> resolver, Clock& clock)
    : clock_(clock), lookups_(std::move(resolver)) {}

CollectorSocket::CollectorSocket(CollectorResolver& resolver, Clock& clock)
    : CollectorSocket(std::shared_ptr<CollectorResolver>(&resolver, [](CollectorResolver*) {}),
                      clock) {}

CollectorSocket::~CollectorSocket() {
  close();
}

void CollectorSocket::open(const std::string& collectorAddress) {
  std::string error;
  const auto entries = parseCollectorList(collectorAddress, error);
  if (!entries)
    throw std::invalid_argument("CollectorAddress: " + error);
  std::vector<Target> targets(entries->size());
  const uint64_t now = clock_.nowMs();
  for (size_t i = 0; i < targets.size(); ++i) {
    Target& target = targets[i];
    target.entry = (*entries)[i];
    target.label = hostPort(target.entry.host, target.entry.port);
    target.lastLookupMs = now;
    if (target.entry.literal) {
      target.endpoint =
          udp::endpoint(boost::asio::ip::make_address(target.entry.host), target.entry.port);
      target.resolved = true;
    } else {
      lookups_.start(i, target.entry);
    }
  }
  auto answers = lookups_.take(kFirstLookupWait);
  std::sort(answers.begin(), answers.end(),
            [](const auto& a, const auto& b) { return a.id < b.id; });

  std::lock_guard<std::mutex> lock(mutex_);
  targets_ = std::move(targets);
  // A single collector keeps the old rule: if its name does not resolve, the agent does not
  // start. One that has no answer yet is no reason to refuse.
  const bool alone = targets_.size() == 1;
  const std::string firstFailure = answers.empty() ? std::string() : answers.front().error;
  takeAnswers(std::move(answers), alone);
  size_t resolved = 0, waiting = 0;
  for (size_t i = 0; i < targets_.size(); ++i) {
    resolved += targets_[i].resolved ? 1 : 0;
    if (lookups_.underWay(i)) {
      ++waiting;
      LOG4CPLUS_WARN_FMT(logger(),
                         "Collector %s: no answer from the name server within %d ms; it gets "
                         "datagrams once its name resolves",
                         targets_[i].label.c_str(), int(kFirstLookupWait.count()));
    }
  }
  if (resolved == 0 && waiting == 0)
    throw std::runtime_error(firstFailure);
  open_ = true;
}

void CollectorSocket::takeAnswers(std::vector<NameLookups::Answer> answers, bool quiet) {
  const uint64_t now = clock_.nowMs();
  for (NameLookups::Answer& answer : answers) {
    Target& target = targets_[answer.id];
    target.lastLookupMs = now;
    if (!answer.error.empty()) {
      // Said once per spell of failures; the last address found stays in use meanwhile.
      if (!target.lookupFailing && !quiet)
        LOG4CPLUS_WARN_FMT(logger(), "Collector %s does not resolve (%s); trying again later",
                           target.label.c_str(), answer.error.c_str());
      target.lookupFailing = true;
      continue;
    }
    target.lookupFailing = false;
    if (target.resolved && answer.endpoint == target.endpoint)
      continue;
    if (open_) {
      const std::string was =
          target.resolved ? " (was " + describe(target.endpoint) + ")" : std::string();
      LOG4CPLUS_INFO_FMT(logger(), "Collector %s is now at %s%s", target.label.c_str(),
                         describe(answer.endpoint).c_str(), was.c_str());
    }
    if (target.socket && answer.endpoint.protocol() != target.endpoint.protocol())
      target.socket.reset();
    target.endpoint = answer.endpoint;
    target.resolved = true;
  }
}

void CollectorSocket::awaitLookups(std::chrono::milliseconds wait) {
  auto answers = lookups_.take(wait);
  std::lock_guard<std::mutex> lock(mutex_);
  takeAnswers(std::move(answers), false);
}

udp::socket& CollectorSocket::socketFor(Target& target) {
  if (!target.socket) {
    auto socket = std::make_unique<udp::socket>(ioContext_, target.endpoint.protocol());
    // Without the reports the datagrams are still sent; only refusals go uncounted.
    if (!queueIcmpErrors(socket->native_handle(), target.endpoint.address().is_v6()))
      LOG4CPLUS_DEBUG_FMT(logger(), "Collector %s: ICMP errors will not be seen",
                          target.label.c_str());
    target.socket = std::move(socket);
  }
  return *target.socket;
}

void CollectorSocket::send(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_)
    throw boost::system::system_error(boost::asio::error::bad_descriptor, "send_to");
  const uint64_t now = clock_.nowMs();
  for (Target& target : targets_) {
    if (target.resolved)
      sendTo(target, data, size, now);
    else
      ++target.failures;  // its address is not known yet: said when the lookup answers
  }
}

void CollectorSocket::sendTo(Target& target, const uint8_t* data, size_t size, uint64_t now) {
  // While a collector fails, what came back for the last datagrams decides whether it is
  // back; otherwise a pending ICMP error shows as the next send's error.
  if (target.failing && target.socket)
    collectIcmpErrors(target, now);
  boost::system::error_code error;
  std::string operation = "send_to ";
  try {
    socketFor(target).send_to(boost::asio::buffer(data, size), target.endpoint, 0, error);
  } catch (const boost::system::system_error& e) {  // the socket could not be opened
    error = e.code();
    operation = "open ";
  }
  if (!error) {
    target.sentSinceFailure = target.failing;
    return;
  }
  failed(target,
         operation + describe(target.endpoint) + " (" + target.label + "): " + error.message(),
         now);
  if (target.socket)
    collectIcmpErrors(target, now);
}

void CollectorSocket::collectIcmpErrors(Target& target, uint64_t now) {
  const std::vector<IcmpError> errors = takeIcmpErrors(target.socket->native_handle());
  for (const IcmpError& icmp : errors) {
    const boost::system::error_code error(icmp.error, boost::system::system_category());
    failed(target,
           "send_to " + describe(target.endpoint) + " (" + target.label + "): " + error.message() +
               " (ICMP from " + icmp.from + ")",
           now);
  }
  if (!errors.empty() || !target.failing || !target.sentSinceFailure)
    return;
  // A datagram went out after the last failure and nothing came back for it.
  if (target.spellReported) {
    LOG4CPLUS_INFO_FMT(logger(),
                       "Sending sFlow packets to collector %s again (%u more failed since the "
                       "last report)",
                       target.label.c_str(), target.unreported);
    target.unreported = 0;
  }
  target.failing = false;
  target.sentSinceFailure = false;
  target.spellReported = false;
}

void CollectorSocket::failed(Target& target, const std::string& why, uint64_t now) {
  ++target.failures;
  target.sentSinceFailure = false;
  if (!target.failing) {
    target.failing = true;
    target.failingSinceMs = now;
  }
  // The first failure is logged at once, as every failure once was; then a line at most
  // every 10 s, also across spells, so a collector that comes and goes does not flood.
  ++target.unreported;
  if (target.reported && now - target.lastReportMs < kFailureReportMs)
    return;
  if (target.unreported == 1)
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to send sFlow packet: %s", why.c_str());
  else
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to send sFlow packet: %s (%u more since the last report)",
                        why.c_str(), target.unreported);
  target.reported = true;
  target.spellReported = true;
  target.lastReportMs = now;
  target.unreported = 0;
}

void CollectorSocket::maintain() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_)
    return;
  const uint64_t now = clock_.nowMs();
  for (Target& target : targets_) {
    if (target.socket)
      collectIcmpErrors(target, now);
  }
  takeAnswers(lookups_.take(), false);
  for (size_t i = 0; i < targets_.size(); ++i) {
    Target& target = targets_[i];
    if (target.entry.literal || lookups_.underWay(i))
      continue;
    const bool troubled =
        !target.resolved || (target.failing && now - target.failingSinceMs >= kRetryLookupMs);
    const uint64_t period = troubled ? kRetryLookupMs : kLookupPeriodMs;
    if (now - target.lastLookupMs >= period) {
      target.lastLookupMs = now;
      lookups_.start(i, target.entry);
    }
  }
}

std::vector<CollectorFailures> CollectorSocket::failures() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<CollectorFailures> result;
  for (const Target& target : targets_) {
    if (target.failures != 0)
      result.push_back({target.label, target.failures});
  }
  return result;
}

void CollectorSocket::close() noexcept {
  // Closing a UDP socket can only fail on a descriptor that is already gone; there is
  // nothing to recover at that point, so the error is dropped.
  boost::system::error_code ignored;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Target& target : targets_) {
    if (target.socket)
      target.socket->close(ignored);
  }
  open_ = false;
}

}  // namespace wendrel
