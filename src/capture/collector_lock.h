// Shared by the supervisor and every capture thread of the process: held while the open
// devices change, so a capture thread closes its device while nobody reads the list.
#pragma once

#include <boost/thread/mutex.hpp>

namespace wendrel {

extern boost::mutex collectorMutex;

}  // namespace wendrel
