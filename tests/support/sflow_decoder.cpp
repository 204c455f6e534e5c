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
      if (c.sourceId >> 24)
        return refuseSample("source id not of an interface");
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
    if (s.sourceId >> 24)
      return refuseSample("source id not of an interface");
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

std::optional<DecodedDatagram> decodeAnyDatagram(const uint8_t* data, size_t size,
                                                 std::string* error) {
  auto word = [data](size_t at) {
    return uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 | uint32_t{data[at + 2]} << 8 |
           data[at + 3];
  };
  auto refuse = [error](const std::string& why) {
    if (error)
      *error = why;
    return std::nullopt;
  };
  const size_t address = size >= 8 && word(4) == 2 ? 16 : 4;
  if (size < 24 + address || word(0) != 5 || (word(4) != 1 && word(4) != 2))
    return refuse("not an sFlow version 5 header");
  DecodedDatagram d;
  if (address == 4)
    std::copy(data + 8, data + 12, d.agentAddress.begin());
  size_t at = 8 + address;
  d.subAgentId = word(at), d.sequence = word(at + 4), d.uptimeMs = word(at + 8);
  const uint32_t count = word(at + 12);
  at += 16;
  // Every sample and record is type, length, body: `end` is where the body ends.
  auto fits = [&](size_t from, size_t limit) {
    return limit - from >= 8 && word(from + 4) % 4 == 0 && limit - from - 8 >= word(from + 4);
  };
  for (uint32_t i = 0; i < count; ++i) {
    if (!fits(at, size))
      return refuse("sample " + std::to_string(i + 1) + " overruns the datagram");
    const uint32_t type = word(at);
    const size_t end = at + 8 + word(at + 4);
    const bool flow = type == 1 || type == 3, counters = type == 2 || type == 4;
    const bool expanded = type == 3 || type == 4;  // source id as class and index words
    const size_t record = at + (flow ? 40 : 20) + (expanded ? (flow ? 12 : 4) : 0);
    if (!flow && !counters) {
      at = end;
      continue;
    }
    if (end < record)
      return refuse("sample " + std::to_string(i + 1) + " shorter than its fields");
    const uint32_t sequence = word(at + 8);
    const uint32_t sourceId = expanded ? word(at + 12) << 24 | word(at + 16) : word(at + 12);
    if (flow) {
      DecodedSample& s = d.samples.emplace_back();
      const size_t rest = at + (expanded ? 20 : 16);
      s.sequence = sequence, s.sourceId = sourceId;
      s.samplingRate = word(rest), s.samplePool = word(rest + 4), s.drops = word(rest + 8);
      s.inputInterface = word(rest + (expanded ? 16 : 12));
      s.outputInterface = word(rest + (expanded ? 24 : 16));
    } else {
      DecodedCounters& c = d.counters.emplace_back();
      c.sequence = sequence, c.sourceId = sourceId;
    }
    size_t cursor = record;
    for (uint32_t r = 0, records = word(record - 4); r < records; ++r) {
      if (!fits(cursor, end))
        return refuse("record overruns its sample");
      const uint32_t kind = word(cursor), length = word(cursor + 4);
      const uint8_t* body = data + cursor + 8;
      if (flow && kind == 1 && length >= 16 && length - 16 >= word(cursor + 20)) {
        DecodedSample& s = d.samples.back();
        s.headerProtocol = word(cursor + 8), s.frameLength = word(cursor + 12);
        s.stripped = word(cursor + 16);
        s.header.assign(body + 16, body + 16 + word(cursor + 20));
      } else if (counters && kind == 1 && length >= 88) {
        for (size_t k = 0; k < d.counters.back().generic.size(); ++k)
          d.counters.back().generic[k] = word(cursor + 8 + 4 * k);
      } else if (counters && kind == 1005 && length >= 4 && length - 4 >= word(cursor + 8)) {
        d.counters.back().name.assign(body + 4, body + 4 + word(cursor + 8));
      }
      cursor += 8 + length;
    }
    if (cursor != end)
      return refuse("records do not fill their sample");
    at = end;
  }
  if (at != size)
    return refuse("bytes after the last sample");
  return d;
}

}  // namespace wendrel::test
