// A strict decoder for the datagrams the agent writes, kept apart from the encoder so that
// tests, fuzzers and the soak compare the encoder with a second reading of the wire format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wendrel::test {

// `sourceId` is the compact form's word (type in the top byte) or, expanded, the index alone;
// `sourceIdType` and `sourceIdIndex` are the two apart in either form.
struct DecodedSample {
  uint32_t format = 1;  // 1 compact, 3 expanded
  uint32_t sourceIdType = 0, sourceIdIndex = 0;
  uint32_t sequence = 0, sourceId = 0, samplingRate = 0, samplePool = 0;
  uint32_t drops = 0, inputInterface = 0, outputInterface = 0;
  uint32_t headerProtocol = 0, frameLength = 0, stripped = 0;
  std::vector<uint8_t> header;  // the copied packet bytes, without padding
};

// A counter sample with the generic interface counters and the port name.
struct DecodedCounters {
  uint32_t format = 2;  // 2 compact, 4 expanded
  uint32_t sourceIdType = 0, sourceIdIndex = 0;
  uint32_t sequence = 0, sourceId = 0;
  std::array<uint32_t, 22> generic{};  // the generic interface record's 22 words
  std::string name;
  uint32_t ifIndex() const { return generic[0]; }
  uint32_t status() const { return generic[5]; }
  uint64_t inOctets() const { return uint64_t{generic[6]} << 32 | generic[7]; }
  uint32_t inPackets() const { return generic[8] + generic[9]; }  // unicast and multicast
};

// A counter sample of the host itself (data source class 2) with the host structures.
struct DecodedHost {
  uint32_t format = 2;
  uint32_t sequence = 0, sourceIdType = 0, sourceIdIndex = 0;
  std::vector<uint32_t> recordTypes;  // in order
  // host_descr
  std::string hostname, osRelease;
  std::array<uint8_t, 16> uuid{};
  uint32_t machineType = 0, osName = 0;
  // host_adapters: each adapter's ifIndex and MAC addresses
  std::vector<std::pair<uint32_t, std::vector<std::array<uint8_t, 6>>>> adapters;
  // host_cpu: the three loads, then its 14 unsigned fields in order (proc_run ... contexts)
  std::array<float, 3> load{};
  std::vector<uint32_t> cpu;
  // host_memory: mem_total, free, shared, buffers, cached, swap_total, swap_free; then page_in,
  // page_out, swap_in, swap_out
  std::vector<uint64_t> memory;
  std::vector<uint32_t> paging;
  // host_disk_io: disk_total, disk_free, bytes_read, bytes_written; part_max_used, reads,
  // read_time, writes, write_time
  std::vector<uint64_t> diskBytes;
  std::vector<uint32_t> disk;
  // host_net_io: bytes_in, bytes_out; pkts_in, errs_in, drops_in, pkts_out, errs_out,
  // drops_out
  std::vector<uint64_t> netBytes;
  std::vector<uint32_t> net;
};

struct DecodedDatagram {
  uint32_t agentAddressType = 1;          // 1 IPv4, 2 IPv6
  std::array<uint8_t, 4> agentAddress{};  // as on the wire: 10.0.0.5 is {10, 0, 0, 5}
  std::array<uint8_t, 16> agentAddress6{};
  uint32_t subAgentId = 0, sequence = 0, uptimeMs = 0;
  std::vector<DecodedSample> samples;
  std::vector<DecodedCounters> counters;
  std::vector<DecodedHost> hosts;
};

// Decodes one sFlow version 5 datagram of the shape the agent sends: an IPv4 or IPv6 agent,
// flow samples (compact or expanded) with one raw-packet-header record each, counter samples
// (compact or expanded) with a generic interface record and a port name, and counter samples
// of the host with its host structures. Source ids are of an interface (the agent's own index
// or the kernel's ifIndex), or of the host (class 2) for its counter samples; input and output
// interfaces are taken as they are. Anything else (a source id of another kind, a length that
// does not add up, non-zero padding, trailing bytes, more than 1300 bytes) is refused with a
// reason.
std::optional<DecodedDatagram> decodeDatagram(const uint8_t* data, size_t size,
                                              std::string* error = nullptr);

inline std::optional<DecodedDatagram> decodeDatagram(const std::vector<uint8_t>& bytes,
                                                     std::string* error = nullptr) {
  return decodeDatagram(bytes.data(), bytes.size(), error);
}

// Reads any well-formed sFlow version 5 datagram (IPv4 or IPv6 agent, compact or expanded
// samples, records of any kind): what a peer agent sends. It keeps the flow samples' raw
// packet header and the counter samples' generic interface and port-name records, and skips
// every other record; only lengths that overrun their container are refused.
std::optional<DecodedDatagram> decodeAnyDatagram(const uint8_t* data, size_t size,
                                                 std::string* error = nullptr);

}  // namespace wendrel::test
