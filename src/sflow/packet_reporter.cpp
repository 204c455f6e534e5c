// STUB
#include "packet_reporter.h"
namespace wendrel {
PacketReporter::PacketReporter(std::string) {}
PacketReporter::PacketReporter(std::string, Clock&, DatagramSink&) {}
PacketReporter::~PacketReporter() = default;
bool PacketReporter::isInitialized() const { return false; }
void PacketReporter::setAgentAddress(uint32_t) {}
void PacketReporter::addSample(const pcap_pkthdr*, const uint8_t*, uint32_t, uint16_t) {}
void PacketReporter::flush() {}
}  // namespace wendrel
