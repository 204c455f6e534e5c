#include "packet_reporter.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "collector_socket.h"

namespace wendrel {

namespace {

log4cplus::Logger logger() {
  return log4cplus::Logger::getInstance("PacketReporter");
}

constexpr size_t kSourceIds = 65536;

}  // namespace

PacketReporter::PacketReporter(std::string collectorAddress)
    : PacketReporter(std::move(collectorAddress), std::make_unique<SteadyClock>(),
                     std::make_unique<CollectorSocket>()) {}

PacketReporter::PacketReporter(std::string collectorAddress, std::unique_ptr<Clock> clock,
                               std::unique_ptr<DatagramSink> sink)
    : ownedClock(std::move(clock)),
      ownedSink(std::move(sink)),
      timeSource(*ownedClock),
      datagramSink(*ownedSink) {
  construct(std::move(collectorAddress));
}

PacketReporter::PacketReporter(std::string collectorAddress, Clock& clock, DatagramSink& sink)
    : timeSource(clock), datagramSink(sink) {
  construct(std::move(collectorAddress));
}

void PacketReporter::construct(std::string collectorAddress) {
  sources = std::make_unique<SourceCounters[]>(kSourceIds);
  for (size_t i = 0; i < kSourceIds; ++i)
    sources[i].sourceId = sources[i].ifIndex = static_cast<uint32_t>(i);
  startTime = timeSource.nowMs();
  initSocket(std::move(collectorAddress));
  startDatagram();
}

PacketReporter::~PacketReporter() {
  if (initialized)
    datagramSink.close();
}

void PacketReporter::initSocket(std::string collectorAddress) {
  LOG4CPLUS_INFO_FMT(logger(), "Initializing socket to send sFlow packets to collector %s",
                     collectorAddress.c_str());
  try {
    datagramSink.open(collectorAddress);
    initialized = true;
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to initialize udp socket: %s", e.what());
  }
}

bool PacketReporter::isInitialized() const {
  return initialized;
}

void PacketReporter::setAgentAddress(uint32_t address) {
  // The address arrives in network byte order: its bytes in memory are the wire bytes.
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  const uint32_t word = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 |
                        uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
  // flush() runs on the service's thread, so the header word is shared: take the lock.
  boost::mutex::scoped_lock lock(mutex);
  agentAddress = word;
  useAgentType(false);
}

void PacketReporter::setAgentAddress6(const std::array<uint8_t, 16>& address) {
  boost::mutex::scoped_lock lock(mutex);
  agentAddress6 = address;
  useAgentType(true);
}

// The samples pending were written behind a header of the old length: they leave with the
// old address, and the next datagram starts with room for the new one.
void PacketReporter::useAgentType(bool ipv6) {
  if (agentIsIpv6 == ipv6)
    return;
  if (datagram.sampleCount() != 0)
    sendPacket();
  agentIsIpv6 = ipv6;
  datagram.clear(ipv6);
}

void PacketReporter::addSample(const PacketView& packet, uint32_t samplingRate,
                               uint16_t sourceIndex, const SampleExtra& extra) {
  boost::mutex::scoped_lock lock(mutex);

  const uint32_t caplen = packet.capturedLength;
  const uint32_t len = packet.wireLength;
  SourceCounters& counters = sources[sourceIndex];
  FlowSample sample;
  sample.sourceId = counters.sourceId;
  sample.samplingRate = samplingRate;
  sample.drops = extra.drops;
  sample.inputInterface = extra.input;
  sample.outputInterface = extra.output;
  sample.frameLength = len;
  // A header claiming more captured bytes than the frame had is not trusted with a
  // wrapped count: nothing was stripped from what we hold.
  sample.stripped = len >= caplen ? len - caplen : 0;
  sample.header = packet.bytes;
  sample.headerLength = std::min(caplen, kMaxHeaderBytes);

  sample.sequence = counters.sampleSequence + 1;
  if (extra.packets != 0) {
    // Counted by capture: the pool is a running total that wraps as sFlow's counters do.
    sample.samplePool = counters.lastSamplePool + extra.packets;
  } else {
    // A product smaller than the previous pool means the multiplication wrapped: the source
    // starts counting again.
    sample.samplePool = samplingRate * sample.sequence;
  }
  if (extra.packets == 0 && sample.samplePool < counters.lastSamplePool) {
    sample.sequence = 1;
    sample.samplePool = samplingRate;
  }
  counters.sampleSequence = sample.sequence;
  counters.lastSamplePool = sample.samplePool;

  makeRoomFor(DatagramWriter::encodedSize(sample));
  datagram.append(sample);
  ++counts.samples;
}

ReporterStatistics PacketReporter::statistics() {
  boost::mutex::scoped_lock lock(mutex);
  ReporterStatistics result = counts;
  if (initialized)
    result.collectorFailures = datagramSink.failures();
  for (const CollectorFailures& collector : result.collectorFailures)
    result.sendErrors += collector.count;
  return result;
}

void PacketReporter::addCounters(uint16_t sourceIndex, CounterSample sample) {
  boost::mutex::scoped_lock lock(mutex);
  SourceCounters& counters = sources[sourceIndex];
  sample.sequence = ++counters.counterSequence;
  sample.sourceId = counters.sourceId;
  makeRoomFor(DatagramWriter::encodedSize(sample));
  datagram.append(sample);
  ++counts.counterSamples;
  sendPacket();
}

void PacketReporter::addHostCounters(const uint8_t* records, size_t recordBytes,
                                     uint32_t recordCount) {
  constexpr uint32_t kHostIndex = 1;  // the one physical entity this agent speaks for
  boost::mutex::scoped_lock lock(mutex);
  makeRoomFor(DatagramWriter::encodedCounterSize(kHostIndex, recordBytes));
  datagram.appendCounters(++hostSequence, kSourcePhysicalEntity, kHostIndex, records, recordBytes,
                          recordCount);
  ++counts.counterSamples;
  sendPacket();
}

void PacketReporter::registerSource(uint16_t sourceIndex, uint32_t sourceId, uint32_t ifIndex) {
  boost::mutex::scoped_lock lock(mutex);
  SourceCounters& counters = sources[sourceIndex];
  if (counters.sourceId != sourceId)
    counters = SourceCounters{0, 0, 0, sourceId, ifIndex};
  else if (counters.ifIndex != ifIndex)
    counters.counterSequence = 0, counters.ifIndex = ifIndex;
}

void PacketReporter::flush() {
  {
    boost::mutex::scoped_lock lock(mutex);
    if (datagram.sampleCount() != 0)
      sendPacket();
  }
  // The flush runs on the service thread twice a second: the sink's upkeep (ICMP errors,
  // name lookups) goes there, outside the lock.
  if (initialized)
    datagramSink.maintain();
}

void PacketReporter::startDatagram() {
  datagram.clear(agentIsIpv6);
  ++datagramSequence;
}

// Tested before anything is written, so a datagram is never split; exactly 1300 stays.
void PacketReporter::makeRoomFor(size_t encodedSize) {
  if (datagram.fits(encodedSize))
    return;
  sendPacket();
}

// Runs with `mutex` held. The next datagram starts after it whether or not the send
// succeeded, so a datagram whose send failed still uses up its sequence number.
void PacketReporter::sendPacket() {
  DatagramHeader header;
  header.agentAddress = agentAddress;
  if (agentIsIpv6)
    header.agentAddress6 = agentAddress6.data();
  header.sequence = datagramSequence;
  header.uptimeMs = static_cast<uint32_t>(timeSource.nowMs() - startTime);
  const size_t length = datagram.finish(header);
  ++counts.datagrams;
  try {
    datagramSink.send(datagram.data(), length);
  } catch (const std::exception& e) {
    ++counts.sendErrors;
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to send sFlow packet: %s", e.what());
  }
  startDatagram();
}

}  // namespace wendrel
