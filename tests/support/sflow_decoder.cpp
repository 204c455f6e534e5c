#include "sflow_decoder.h"

#include <algorithm>

namespace wendrel::test {

std::optional<DecodedDatagram> decodeDatagram(const uint8_t* data, size_t size,
                                              std::string* error) {
  auto refuse = [error](const std::string& why) {
    if (error)
      *error = why;
    return std::nullopt;
  };
  auto word = [data](size_t at) {
    return uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 | uint32_t{data[at + 2]} << 8 |
           data[at + 3];
  };
  if (size < 28 || size > 1300)
    return refuse("a datagram of " + std::to_string(size) + " bytes");
  if (word(0) != 5 || word(4) != 1)
    return refuse("not sFlow version 5 with an IPv4 agent");
  DecodedDatagram d;
  std::copy(data + 8, data + 12, d.agentAddress.begin());
  d.subAgentId = word(12), d.sequence = word(16), d.uptimeMs = word(20);
  size_t at = 28;  // the sample being read
  for (uint32_t i = 0, count = word(24); i < count; ++i) {
    auto refuseSample = [&](const char* why) {
      return refuse("sample " + std::to_string(i + 1) + ": " + why);
    };
    if (size - at >= 8 && word(at) == 2) {  // counter sample: 2 records, 8 + 12 + 96 + 12 + name
      const size_t length = size_t{word(at + 4)};
      if (size - at - 8 < length || length < 120 || word(at + 16) != 2 || word(at + 20) != 1 ||
          word(at + 24) != 88 || word(at + 32) != 6 || word(at + 116) != 1005)
        return refuseSample("not a counter sample with the interface record and a port name");
      DecodedCounters& c = d.counters.emplace_back();
      c.sequence = word(at + 8);
      c.sourceId = word(at + 12);
      for (size_t k = 0; k < c.generic.size(); ++k)
        c.generic[k] = word(at + 28 + 4 * k);
      const size_t name = word(at + 124), padded = (name + 3) & ~size_t{3};
      if (word(at + 120) != 4 + padded || length != 120 + padded)
        return refuseSample("port name length does not add up");
      c.name.assign(data + at + 128, data + at + 128 + name);
      if (std::any_of(data + at + 128 + name, data + at + 128 + padded,
                      [](uint8_t b) { return b; }))
        return refuseSample("non-zero padding");
      at += 8 + length;
      continue;
    }
    // Flow sample, 7 words, one record of type raw packet header, 4 words, the header bytes.
    if (size - at < 64)
      return refuseSample("truncated");
    if (word(at) != 1 || word(at + 36) != 1 || word(at + 40) != 1)
      return refuseSample("not a flow sample with one raw packet header");
    DecodedSample& s = d.samples.emplace_back();
    size_t k = at + 8;
    for (uint32_t* field : {&s.sequence, &s.sourceId, &s.samplingRate, &s.samplePool, &s.drops,
                            &s.inputInterface, &s.outputInterface})
      *field = word(k), k += 4;
    s.headerProtocol = word(at + 48), s.frameLength = word(at + 52), s.stripped = word(at + 56);
    const uint32_t length = word(at + 60);
    const size_t padded = (size_t{length} + 3) & ~size_t{3};
    if (length > 128 || size - at - 64 < padded)
      return refuseSample("header length over 128 or beyond the end");
    if (word(at + 4) != 56 + padded || word(at + 44) != 16 + padded)
      return refuseSample("sample or record length does not add up");
    const uint8_t* header = data + at + 64;
    s.header.assign(header, header + length);
    if (std::any_of(header + length, header + padded, [](uint8_t b) { return b != 0; }))
      return refuseSample("non-zero padding");
    at += 64 + padded;
  }
  if (at != size)
    return refuse("bytes after the last sample");
  return d;
}

}  // namespace wendrel::test
