#include "sflow_decoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace wendrel::test {

namespace {

// A bounded reader over one structure; running past its end, or a rule broken, throws the
// reason.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t u32() {
    need(4);
    const uint8_t* p = data_ + at_;
    at_ += 4;
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  }
  uint64_t u64() {
    const uint64_t high = u32();
    return high << 32 | u32();
  }
  float f32() {
    const uint32_t bits = u32();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  // `size` bytes and their zero padding up to a multiple of 4.
  const uint8_t* opaque(size_t size) {
    const size_t padded = (size + 3) & ~size_t{3};
    need(padded);
    const uint8_t* p = data_ + at_;
    if (std::any_of(p + size, p + padded, [](uint8_t b) { return b != 0; }))
      throw std::runtime_error("non-zero padding");
    at_ += padded;
    return p;
  }
  std::string string(size_t max) {
    const uint32_t length = u32();
    if (length > max)
      throw std::runtime_error("a string of " + std::to_string(length) + " bytes");
    const uint8_t* p = opaque(length);
    return std::string(p, p + length);
  }
  // The next `size` bytes as a cursor of their own.
  Cursor sub(size_t size) {
    need(size);
    Cursor inner(data_ + at_, size);
    at_ += size;
    return inner;
  }
  void end() const {
    if (at_ != size_)
      throw std::runtime_error("a structure longer than its fields");
  }
  size_t left() const { return size_ - at_; }

 private:
  void need(size_t size) const {
    if (size_ - at_ < size)
      throw std::runtime_error("truncated");
  }
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

void require(bool ok, const char* why) {
  if (!ok)
    throw std::runtime_error(why);
}

void flowSample(Cursor& in, uint32_t format, DecodedSample& s) {
  s.format = format;
  s.sequence = in.u32();
  if (format == 3) {
    s.sourceIdType = in.u32();
    s.sourceId = s.sourceIdIndex = in.u32();
  } else {
    s.sourceId = in.u32();
    s.sourceIdType = s.sourceId >> 24, s.sourceIdIndex = s.sourceId & 0xFFFFFF;
  }
  require(s.sourceIdType == 0, "source id not of an interface");
  s.samplingRate = in.u32(), s.samplePool = in.u32(), s.drops = in.u32();
  for (uint32_t* interface : {&s.inputInterface, &s.outputInterface}) {
    if (format == 3)
      require(in.u32() == 0, "an interface format other than 0");
    *interface = in.u32();
  }
  require(in.u32() == 1 && in.u32() == 1, "not a flow sample with one raw packet header");
  const uint32_t recordLength = in.u32();
  Cursor record = in.sub(recordLength);
  s.headerProtocol = record.u32(), s.frameLength = record.u32(), s.stripped = record.u32();
  const uint32_t length = record.u32();
  require(length <= 128, "header length over 128");
  const uint8_t* header = record.opaque(length);
  s.header.assign(header, header + length);
  record.end();
}

void interfaceCounters(Cursor& in, DecodedCounters& c) {
  require(in.u32() == 2 && in.u32() == 1 && in.u32() == 88,
          "not a counter sample with the interface record and a port name");
  for (uint32_t& word : c.generic)
    word = in.u32();
  require(c.generic[1] == 6, "not an Ethernet interface");
  require(in.u32() == 1005, "no port name record");
  Cursor name = in.sub(in.u32());
  c.name = name.string(255);
  name.end();
}

void hostCounters(Cursor& in, DecodedHost& h) {
  for (uint32_t i = 0, count = in.u32(); i < count; ++i) {
    const uint32_t type = in.u32();
    Cursor r = in.sub(in.u32());
    h.recordTypes.push_back(type);
    switch (type) {
      case 2000:
        h.hostname = r.string(64);
        std::memcpy(h.uuid.data(), r.opaque(16), 16);
        h.machineType = r.u32(), h.osName = r.u32();
        h.osRelease = r.string(32);
        break;
      case 2001:
        for (uint32_t a = 0, adapters = r.u32(); a < adapters; ++a) {
          auto& adapter = h.adapters.emplace_back();
          adapter.first = r.u32();
          for (uint32_t m = 0, macs = r.u32(); m < macs; ++m) {
            auto& mac = adapter.second.emplace_back();
            std::memcpy(mac.data(), r.opaque(6), 6);
          }
        }
        break;
      case 2003:
        for (float& load : h.load)
          load = r.f32();
        for (int k = 0; k < 14; ++k)
          h.cpu.push_back(r.u32());
        break;
      case 2004:
        for (int k = 0; k < 7; ++k)
          h.memory.push_back(r.u64());
        for (int k = 0; k < 4; ++k)
          h.paging.push_back(r.u32());
        break;
      case 2005:
        h.diskBytes = {r.u64(), r.u64()};
        h.disk.push_back(r.u32());  // part_max_used
        h.disk.push_back(r.u32());  // reads
        h.diskBytes.push_back(r.u64());
        h.disk.push_back(r.u32());  // read_time
        h.disk.push_back(r.u32());  // writes
        h.diskBytes.push_back(r.u64());
        h.disk.push_back(r.u32());  // write_time
        break;
      case 2006:
        h.netBytes.push_back(r.u64());
        for (int k = 0; k < 3; ++k)
          h.net.push_back(r.u32());
        h.netBytes.push_back(r.u64());
        for (int k = 0; k < 3; ++k)
          h.net.push_back(r.u32());
        break;
      default:
        throw std::runtime_error("an unknown host record " + std::to_string(type));
    }
    r.end();
  }
}

void counterSample(Cursor& in, uint32_t format, DecodedDatagram& d) {
  const uint32_t sequence = in.u32();
  uint32_t type, index;
  if (format == 4) {
    type = in.u32(), index = in.u32();
  } else {
    const uint32_t id = in.u32();
    type = id >> 24, index = id & 0xFFFFFF;
  }
  if (type == 2) {
    DecodedHost& h = d.hosts.emplace_back();
    h.format = format, h.sequence = sequence, h.sourceIdType = type, h.sourceIdIndex = index;
    hostCounters(in, h);
    return;
  }
  require(type == 0, "a counter sample of an unknown source class");
  DecodedCounters& c = d.counters.emplace_back();
  c.format = format, c.sequence = sequence, c.sourceIdType = type, c.sourceIdIndex = index;
  c.sourceId = index;  // of class 0: the compact word and the index are the same
  interfaceCounters(in, c);
}

}  // namespace

std::optional<DecodedDatagram> decodeDatagram(const uint8_t* data, size_t size,
                                              std::string* error) {
  auto refuse = [error](const std::string& why) {
    if (error)
      *error = why;
    return std::nullopt;
  };
  if (size < 28 || size > 1300)
    return refuse("a datagram of " + std::to_string(size) + " bytes");
  Cursor in(data, size);
  DecodedDatagram d;
  uint32_t count = 0;
  try {
    require(in.u32() == 5, "not sFlow version 5");
    d.agentAddressType = in.u32();
    if (d.agentAddressType == 1)
      std::memcpy(d.agentAddress.data(), in.opaque(4), 4);
    else if (d.agentAddressType == 2)
      std::memcpy(d.agentAddress6.data(), in.opaque(16), 16);
    else
      throw std::runtime_error("an agent address of type " + std::to_string(d.agentAddressType));
    d.subAgentId = in.u32(), d.sequence = in.u32(), d.uptimeMs = in.u32();
    count = in.u32();
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
  for (uint32_t i = 0; i < count; ++i) {
    try {
      const uint32_t format = in.u32();
      Cursor sample = in.sub(in.u32());
      if (format == 1 || format == 3)
        flowSample(sample, format, d.samples.emplace_back());
      else if (format == 2 || format == 4)
        counterSample(sample, format, d);
      else
        throw std::runtime_error("a sample of format " + std::to_string(format));
      sample.end();
    } catch (const std::exception& e) {
      return refuse("sample " + std::to_string(i + 1) + ": " + e.what());
    }
  }
  if (in.left() != 0)
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
  d.agentAddressType = word(4);
  if (address == 4)
    std::copy(data + 8, data + 12, d.agentAddress.begin());
  else
    std::copy(data + 8, data + 24, d.agentAddress6.begin());
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
