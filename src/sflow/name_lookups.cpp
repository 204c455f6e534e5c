#include "name_lookups.h"

#include <pthread.h>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <boost/system/system_error.hpp>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace wendrel {

boost::asio::ip::udp::endpoint SystemResolver::resolve(const CollectorEntry& entry) {
  using boost::asio::ip::udp;
  // A context of its own: lookups of several collectors may run at once.
  boost::asio::io_context ioContext;
  udp::resolver resolver(ioContext);
  const std::string service = std::to_string(entry.port);
  boost::system::error_code noIpv4;
  udp::resolver::results_type results =
      resolver.resolve(udp::v4(), entry.host, service, udp::resolver::address_configured, noIpv4);
  if (noIpv4 || results.empty())
    results = resolver.resolve(udp::v6(), entry.host, service, udp::resolver::address_configured);
  if (results.empty())
    throw boost::system::system_error(boost::asio::error::host_not_found, "resolve");
  return results.begin()->endpoint();
}

// Shared by the owner and every lookup thread; the last one to go frees it.
struct NameLookups::Board {
  std::shared_ptr<CollectorResolver> resolver;
  std::mutex mutex;
  std::condition_variable answered;
  std::set<size_t> underWay;
  std::vector<Answer> answers;
};

NameLookups::NameLookups(std::shared_ptr<CollectorResolver> resolver)
    : board_(std::make_shared<Board>()) {
  board_->resolver = std::move(resolver);
}

void NameLookups::start(size_t id, const CollectorEntry& entry) {
  std::lock_guard<std::mutex> lock(board_->mutex);
  if (!board_->underWay.insert(id).second)
    return;
  try {
    // Detached: a stop must not wait for a name server that does not answer.
    std::thread([board = board_, id, entry] {
      // Named for top -H and debuggers; the sflow library has no platform layer of its own.
      pthread_setname_np(pthread_self(), "wendrel-lookup");
      Answer answer;
      answer.id = id;
      try {
        answer.endpoint = board->resolver->resolve(entry);
      } catch (const std::exception& e) {
        answer.error = e.what();
        if (answer.error.empty())
          answer.error = "resolve: failed";
      }
      std::lock_guard<std::mutex> answered(board->mutex);
      board->underWay.erase(id);
      board->answers.push_back(std::move(answer));
      board->answered.notify_all();
    }).detach();
  } catch (const std::system_error& e) {  // no thread to be had: an answer all the same
    board_->underWay.erase(id);
    board_->answers.push_back(Answer{id, {}, std::string("resolve: ") + e.what()});
  }
}

bool NameLookups::underWay(size_t id) const {
  std::lock_guard<std::mutex> lock(board_->mutex);
  return board_->underWay.count(id) != 0;
}

std::vector<NameLookups::Answer> NameLookups::take(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(board_->mutex);
  if (wait.count() > 0)
    board_->answered.wait_for(lock, wait, [this] { return board_->underWay.empty(); });
  return std::exchange(board_->answers, {});
}

}  // namespace wendrel
