// The records handed to one capture thread and to the pcap callback it runs.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

namespace wendrel {

class PacketReporter;

// One capture thread's device: its handle (owned by the collector) and its 0-based index,
// which is the sFlow source index of the interface's samples.
struct InterfaceData {
  pcap_t* handle = nullptr;
  uint16_t index = 0;
};

// The sampling decision's state for one interface; the user pointer of packetHandler.
struct SamplingState {
  PacketReporter* reporter = nullptr;
  uint32_t samplingRate = 0;
  // Wide enough that counter + step never wraps for any 32-bit rate, so every rate up to
  // 4294967295 is reached.
  uint64_t counter = 0;
  uint16_t step = 1;
  uint16_t sourceIndex = 0;
};

}  // namespace wendrel
