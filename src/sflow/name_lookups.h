// Collector names looked up beside the thread that needs them, so that a name server that
// does not answer holds up no send, flush, status line or stop. Each lookup runs on a thread
// of its own, at most one per collector at a time. The system's resolver cannot be
// interrupted: a lookup still under way when its owner goes ends by itself later, keeping
// alive what it uses.
#pragma once

#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "collector_list.h"

namespace wendrel {

// Name lookup, behind a seam so that tests can make a collector move.
class CollectorResolver {
 public:
  virtual ~CollectorResolver() = default;
  // The address of a named collector; throws boost::system::system_error ("resolve: ...").
  virtual boost::asio::ip::udp::endpoint resolve(const CollectorEntry& entry) = 0;
};

// The system's resolver: IPv4 first, as it always was, then IPv6. Safe from several
// threads at once.
class SystemResolver : public CollectorResolver {
 public:
  boost::asio::ip::udp::endpoint resolve(const CollectorEntry& entry) override;
};

class NameLookups {
 public:
  struct Answer {
    size_t id = 0;
    boost::asio::ip::udp::endpoint endpoint;
    std::string error;  // empty when the name resolved
  };

  // `resolver` is shared with the lookups, which may outlive this object.
  explicit NameLookups(std::shared_ptr<CollectorResolver> resolver);

  // Starts looking `entry` up for collector `id`, unless a lookup for `id` is under way.
  void start(size_t id, const CollectorEntry& entry);
  bool underWay(size_t id) const;
  // The answers that came in since the last call, after waiting up to `wait` for every
  // lookup under way to answer.
  std::vector<Answer> take(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

 private:
  struct Board;
  std::shared_ptr<Board> board_;
};

}  // namespace wendrel
