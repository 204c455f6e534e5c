// Turns sampled packets into sFlow version 5 datagrams for one collector: each packet becomes
// a flow sample with one raw-packet-header record, batched into datagrams of at most 1300
// bytes that leave when the next sample would not fit, or on flush().
#pragma once

#include <array>
#include <boost/thread/mutex.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "datagram_sink.h"
#include "datagram_writer.h"

namespace wendrel {

// A captured packet as capture hands it over: a view, nothing is copied until the sample is
// written into the datagram.
struct PacketView {
  const uint8_t* bytes = nullptr;
  uint32_t capturedLength = 0;  // bytes held at `bytes`
  uint32_t wireLength = 0;      // the frame's length on the wire
};

struct SampleExtra {
  uint32_t drops = 0;
  uint32_t input = 0;
  uint32_t output = 0;
  // The packets that reached the sampling decision since the source's previous sample, this
  // one included; the sample pool grows by them. 0 when capture does not count them: the pool
  // is then the rate times the sample sequence number.
  uint32_t packets = 0;
};

// What the reporter has done so far.
struct ReporterStatistics {
  uint64_t samples = 0;         // flow samples added
  uint64_t counterSamples = 0;  // counter samples added
  uint64_t datagrams = 0;       // datagrams handed to the socket
  // Sends that failed: one per datagram and collector that missed it.
  uint64_t sendErrors = 0;
  std::vector<CollectorFailures> collectorFailures;  // the collectors that missed any
};

class PacketReporter {
 public:
  // Resolves the collector and opens the UDP socket; isInitialized() tells the outcome.
  // Failures are logged on the "PacketReporter" logger; construction always completes.
  explicit PacketReporter(std::string collectorAddress);
  // The same with the time source and the datagram sink supplied (tests, benchmarks). Both
  // must outlive the reporter.
  PacketReporter(std::string collectorAddress, Clock& clock, DatagramSink& sink);
  // Closes the sink if it was opened. A pending datagram is discarded: call flush() first.
  ~PacketReporter();
  PacketReporter(const PacketReporter&) = delete;
  PacketReporter& operator=(const PacketReporter&) = delete;

  bool isInitialized() const;
  // `address` is an IPv4 address in network byte order; every later datagram carries it.
  void setAgentAddress(uint32_t address);
  // An IPv6 agent address (type 2), as on the wire; it replaces an IPv4 one. A datagram
  // pending with the other address type is sent first.
  void setAgentAddress6(const std::array<uint8_t, 16>& address);
  // Adds one flow sample. Sends the pending datagram first when the sample would not fit.
  // Safe to call from several threads.
  // `extra` carries what capture knows beyond the bytes: the interface's kernel drops and
  // the packet's direction (input and output interfaces); all 0 when unknown.
  void addSample(const PacketView& packet, uint32_t samplingRate, uint16_t sourceIndex,
                 const SampleExtra& extra = {});
  // Adds one counter sample for `sourceIndex` (its own counter-sample sequence, from 1, and
  // the source's sFlow id fill in `sample`'s sequence and source id) and sends the datagram
  // at once: counters are not held back until the next flush.
  void addCounters(uint16_t sourceIndex, CounterSample sample);
  // From now on the samples of `sourceIndex` carry `sourceId` (32 bits; by default the index
  // itself), for the interface whose kernel index is `ifIndex`. A changed id starts the
  // source's sequences again; a changed kernel index (the interface was made anew, so its
  // counters restarted) starts its counter-sample sequence again. Called when an interface
  // opens, so that the sample path only reads a table.
  void registerSource(uint16_t sourceIndex, uint32_t sourceId, uint32_t ifIndex);
  void registerSource(uint16_t sourceIndex, uint32_t sourceId) {
    registerSource(sourceIndex, sourceId, sourceId);
  }
  // Adds one counter sample of the host itself (data source class 2, index 1, its own
  // sequence from 1): `recordCount` records already encoded, each with type and length. It is
  // sent at once.
  void addHostCounters(const uint8_t* records, size_t recordBytes, uint32_t recordCount);
  // Sends the pending datagram now if it holds at least one sample; otherwise does nothing
  // and uses no sequence number.
  void flush();
  // Safe from any thread.
  ReporterStatistics statistics();

  static constexpr size_t kMaxDatagramLength = DatagramWriter::kMaxLength;
  static constexpr uint32_t kMaxHeaderBytes = 128;

 private:
  // The flow-sample sequence and pool of one source id (sFlow counts them per source), its
  // counter-sample sequence and the sFlow source id that its samples carry.
  struct SourceCounters {
    uint32_t sampleSequence = 0;
    uint32_t lastSamplePool = 0;
    uint32_t counterSequence = 0;
    uint32_t sourceId = 0;
    uint32_t ifIndex = 0;
  };

  PacketReporter(std::string collectorAddress, std::unique_ptr<Clock> clock,
                 std::unique_ptr<DatagramSink> sink);
  void construct(std::string collectorAddress);
  void initSocket(std::string collectorAddress);
  void startDatagram();
  // Switches the agent address type; mutex held.
  void useAgentType(bool ipv6);
  // Sends the pending datagram first when a sample of `encodedSize` bytes would not fit
  // behind it. Every kind of sample goes through here, so a datagram is never split.
  void makeRoomFor(size_t encodedSize);
  // Sends the pending datagram and starts the next.
  void sendPacket();

  // Set only by the one-argument constructor, which owns its clock and socket.
  std::unique_ptr<Clock> ownedClock;
  std::unique_ptr<DatagramSink> ownedSink;
  Clock& timeSource;
  DatagramSink& datagramSink;

  // The datagram under construction.
  DatagramWriter datagram;
  // The agent address word of the header: 10.0.0.5 is 0x0a000005.
  uint32_t agentAddress = 0;
  // The IPv6 agent address, when one was set; it takes the place of agentAddress.
  std::array<uint8_t, 16> agentAddress6{};
  bool agentIsIpv6 = false;
  uint32_t hostSequence = 0;
  // One entry per 16-bit source index, allocated once here (1 MiB): indexing never
  // allocates, hashes or rehashes on the sample path, whatever the number of interfaces,
  // and the one reporter per process makes the memory a fixed, small cost.
  std::unique_ptr<SourceCounters[]> sources;
  uint32_t datagramSequence = 0;
  ReporterStatistics counts;  // guarded by mutex
  boost::mutex mutex;
  // Monotonic milliseconds at construction: the origin of the uptime.
  uint64_t startTime = 0;
  bool initialized = false;
};

}  // namespace wendrel
