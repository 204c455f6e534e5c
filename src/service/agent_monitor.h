// Watches the agent's figures from Run's idle loop: a status line for the service manager
// every status period, a warning while no interface is captured (at most every 10 minutes
// while it lasts), and the figures in words.
#pragma once

#include <log4cplus/logger.h>

#include <chrono>
#include <optional>
#include <string>

#include "agent_factory.h"

namespace wendrel {

class AgentMonitor {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kWarningPeriod = std::chrono::minutes(10);

  // The first status is due one `statusPeriod` after `start`.
  AgentMonitor(log4cplus::Logger logger, Clock::duration statusPeriod, Clock::time_point start);

  bool due(Clock::time_point now) const { return now >= next_; }
  // The status line for `figures` ("Running: ..."); logs the warning when one is due. The
  // next status is due one period after `now`.
  std::string poll(const AgentFigures& figures, Clock::time_point now);

  // "2 interfaces, 1,234,567 packets seen, 38,580 flow and 15 counter samples in 6,430
  // datagrams, 0 dropped by the kernel, 0 send errors, agent address 192.0.2.1"; with send
  // errors, the collectors that missed datagrams: "..., 930 send errors (925 to
  // 192.0.2.10:6343, 5 to [2001:db8::10]:6343), ...".
  static std::string describe(const AgentFigures& figures);

 private:
  log4cplus::Logger logger_;
  Clock::duration period_;
  Clock::time_point next_;
  std::optional<Clock::time_point> lastWarning_;  // none while interfaces are captured
};

}  // namespace wendrel
