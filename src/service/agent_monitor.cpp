#include "agent_monitor.h"

#include <log4cplus/loggingmacros.h>

#include <utility>

namespace wendrel {
namespace {

// 1234567 as "1,234,567".
std::string grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t pos = digits.size(); pos > 3; pos -= 3)
    digits.insert(pos - 3, ",");
  return digits;
}

// " (925 to 192.0.2.10:6343, 12 to collector.example.net:6343)", naming the collectors that
// missed datagrams; nothing when none did.
std::string collectorErrors(const AgentFigures& f) {
  std::string text;
  for (const auto& [collector, count] : f.collectorErrors)
    text += (text.empty() ? " (" : ", ") + grouped(count) + " to " + collector;
  return text.empty() ? text : text + ")";
}

}  // namespace

AgentMonitor::AgentMonitor(log4cplus::Logger logger, Clock::duration statusPeriod,
                           Clock::time_point start)
    : logger_(std::move(logger)), period_(statusPeriod), next_(start + statusPeriod) {}

std::string AgentMonitor::poll(const AgentFigures& figures, Clock::time_point now) {
  next_ = now + period_;
  // Before the devices have been looked for, none being open says nothing yet.
  if (figures.interfaces != 0 || !figures.captureTried) {
    lastWarning_.reset();
    return "Running: " + describe(figures);
  }
  if (!lastWarning_ || now - *lastWarning_ >= kWarningPeriod) {
    lastWarning_ = now;
    if (figures.noInterfaceReason.empty()) {
      LOG4CPLUS_WARN(logger_, "No interface captured");
    } else {
      LOG4CPLUS_WARN_FMT(logger_, "No interface captured: %s", figures.noInterfaceReason.c_str());
    }
  }
  return "Running: no interface captured";
}

std::string AgentMonitor::describe(const AgentFigures& f) {
  return grouped(f.interfaces) + (f.interfaces == 1 ? " interface, " : " interfaces, ") +
         grouped(f.packetsSeen) + " packets seen, " + grouped(f.samples) + " flow and " +
         grouped(f.counterSamples) + " counter samples in " + grouped(f.datagrams) +
         " datagrams, " + grouped(f.kernelDrops) + " dropped by the kernel, " +
         grouped(f.sendErrors) + " send errors" + collectorErrors(f) +
         (f.agentAddress.empty() ? "" : ", agent address " + f.agentAddress);
}

}  // namespace wendrel
