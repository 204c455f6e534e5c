// STUB: the public interface other subsystems build against; the sFlow work replaces the body.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "clock.h"
#include "datagram_sink.h"

struct pcap_pkthdr;

namespace wendrel {

class PacketReporter {
 public:
  // Resolves the collector and opens the UDP socket; isInitialized() tells the outcome.
  explicit PacketReporter(std::string collectorAddress);
  // The same with the time source and the datagram sink supplied (tests, benchmarks).
  PacketReporter(std::string collectorAddress, Clock& clock, DatagramSink& sink);
  ~PacketReporter();
  PacketReporter(const PacketReporter&) = delete;
  PacketReporter& operator=(const PacketReporter&) = delete;

  bool isInitialized() const;
  // `address` is an IPv4 address in network byte order.
  void setAgentAddress(uint32_t address);
  void addSample(const pcap_pkthdr* header, const uint8_t* packet, uint32_t samplingRate,
                 uint16_t sourceIndex);
  // Sends the pending datagram now if it holds at least one sample.
  void flush();
};

}  // namespace wendrel
