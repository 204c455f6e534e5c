// The capture engine: one capture thread per Ethernet device, each sampling one packet in N
// (preselected in the kernel's filter in performance mode) into the PacketReporter.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <boost/chrono/duration.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packet_reporter.h"
#include "pcap_api.h"
#include "pcap_handle.h"
#include "sampling_state.h"

namespace wendrel {

// Timing of the supervisor; tests shorten it.
struct CaptureTiming {
  // Pause after a failed device enumeration before the next attempt.
  boost::chrono::milliseconds retryInterval{30000};
  // How long the supervisor waits for the capture threads to announce their start.
  boost::chrono::milliseconds readyTimeout{5000};
  // How the retry pause is taken; empty means boost::this_thread::sleep_for. Whatever it
  // is, stop() interrupts the supervisor, so it should be an interruption point.
  std::function<void(boost::chrono::milliseconds)> sleep;
};

class TrafficCollector {
 public:
  // The agent's collector on the host's libpcap. `reporter` is not owned and must outlive
  // stop() (or the destructor).
  TrafficCollector(uint16_t snapLength, PacketReporter* reporter, int32_t bufferSize,
                   uint32_t samplingRate, bool performanceMode);
  // The same on the given pcap calls and timing.
  TrafficCollector(uint16_t snapLength, PacketReporter* reporter, int32_t bufferSize,
                   uint32_t samplingRate, bool performanceMode, PcapApi& pcap,
                   CaptureTiming timing);
  // Stops capture first (see stop()).
  ~TrafficCollector();
  TrafficCollector(const TrafficCollector&) = delete;
  TrafficCollector& operator=(const TrafficCollector&) = delete;

  // Starts the supervisor thread and returns at once. Later calls do nothing.
  void startCollecting();
  // Ends capture: returns once the supervisor and every capture thread have ended and every
  // device is closed. A second call, or a call before startCollecting, does nothing.
  void stop();

  // The pcap callback: counts the packet by the interface's step and hands every N-th one
  // to the reporter. `user` is the capture thread's SamplingState.
  static void packetHandler(u_char* user, const pcap_pkthdr* header, const u_char* packet);

  // The capture filter text and the sampling step it implies.
  const std::string& filterText() const { return filter; }
  uint16_t step() const { return samplingStep; }
  // The agent address found on the devices (network byte order), 0 until one is found.
  uint32_t agentAddress() const { return localAddress.load(); }
  // Handles still open (each capture thread closes its own as it ends).
  size_t openDeviceCount() const;

 private:
  std::string buildFilter();
  bool initCaptureEngine();
  // Opens one device with the given promiscuous flag; on failure `error` holds pcap's text.
  PcapHandle openDevice(const char* name, const char* label, int promiscuous, std::string& error);
  void readLocalIp(const pcap_addr* addresses);
  void interfaceHandler(InterfaceData* data);
  void closeDevice(pcap_t* handle);
  void startCollectingInner();
  void sleepBeforeRetry();

  // Written only under collectorMutex.
  std::vector<PcapHandle> devices;
  // Written by the supervisor; read by stop() once the supervisor has been joined.
  std::vector<std::unique_ptr<boost::thread>> threads;
  std::atomic<bool> collecting{false};
  bool performanceMode;
  int32_t snapLength;
  std::string filter;
  PacketReporter* reporter;
  int32_t bufferSize;
  uint32_t samplingRate;
  uint16_t samplingStep = 1;
  std::atomic<uint32_t> localAddress{0};

  PcapApi& pcap;
  CaptureTiming timing;
  boost::thread supervisor;
  // Serialises start and stop; guards `started` and `stopRequested`.
  boost::mutex stateMutex;
  // Held for a whole stop, so a concurrent second stop returns only when capture has ended.
  boost::mutex stopMutex;
  bool started = false;
  bool stopRequested = false;
};

}  // namespace wendrel
