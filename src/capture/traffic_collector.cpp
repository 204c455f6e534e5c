// STUB
#include "traffic_collector.h"
namespace wendrel {
TrafficCollector::TrafficCollector(uint16_t, PacketReporter*, int32_t, uint32_t, bool) {}
TrafficCollector::~TrafficCollector() = default;
void TrafficCollector::startCollecting() {}
void TrafficCollector::stop() {}
}  // namespace wendrel
