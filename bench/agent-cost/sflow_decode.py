"""Decoding of the datagrams the benchmark's collector stored.

Two readers: `decode_strict` accepts exactly the shape the agent sends (flow samples with one
raw-packet-header record, every length and pad as the agent writes them; the drops field is
the agent's running count and is kept) and names the first thing that differs;
`decode_generic` walks any well-formed sFlow v5 datagram (the peer agent also sends counter
samples and more records) and keeps its flow samples. `classify` and `probe_number` tell the
benchmark's own frames apart in the sampled headers.
"""

import struct

MAX_AGENT_DATAGRAM = 1300


class Malformed(Exception):
    pass


class Sample:
    __slots__ = ("sequence", "source_id", "rate", "pool", "frame_length", "header", "drops")

    def __init__(self, sequence, source_id, rate, pool, frame_length, header, drops=0):
        self.sequence = sequence
        self.source_id = source_id
        self.rate = rate
        self.pool = pool
        self.frame_length = frame_length
        self.header = header
        self.drops = drops


class Datagram:
    __slots__ = ("size", "sequence", "agent", "samples", "counter_samples")

    def __init__(self, size, sequence, agent, samples, counter_samples=0):
        self.size = size
        self.sequence = sequence
        self.agent = agent
        self.samples = samples
        self.counter_samples = counter_samples


def read_records(path):
    """Yields the datagrams stored by agent_cost_collector (4-byte LE length, bytes)."""
    with open(path, "rb") as f:
        data = f.read()
    offset = 0
    while offset + 4 <= len(data):
        (length,) = struct.unpack_from("<I", data, offset)
        offset += 4
        yield data[offset:offset + length]
        offset += length


def _words(data, offset, count):
    if offset + 4 * count > len(data):
        raise Malformed("truncated at byte %d" % offset)
    return struct.unpack_from(">%dI" % count, data, offset)


def decode_strict(data):
    if len(data) > MAX_AGENT_DATAGRAM:
        raise Malformed("datagram of %d bytes" % len(data))
    version, address_type, agent, sub_agent, sequence, _uptime, count = _words(data, 0, 7)
    if version != 5 or address_type != 1 or sub_agent != 0:
        raise Malformed("header %d/%d/%d" % (version, address_type, sub_agent))
    offset = 28
    samples = []
    for _ in range(count):
        (sample_type, sample_length, sample_sequence, source_id, rate, pool, drops, input_if,
         output_if, records, record_type, record_length, protocol, frame_length, stripped,
         header_length) = _words(data, offset, 16)
        pad = (4 - header_length % 4) % 4
        if sample_type != 1 or records != 1 or record_type != 1 or protocol != 1:
            raise Malformed("sample kind %d/%d/%d/%d" % (sample_type, records, record_type, protocol))
        if input_if or output_if or source_id >> 16:
            raise Malformed("fixed sample fields not zero")
        if header_length > 128:
            raise Malformed("header length %d" % header_length)
        if sample_length != 56 + header_length + pad or record_length != 16 + header_length + pad:
            raise Malformed("lengths %d/%d for header %d" % (sample_length, record_length, header_length))
        if stripped > frame_length or header_length > frame_length - stripped:
            raise Malformed("stripped %d of %d with header %d" % (stripped, frame_length, header_length))
        start = offset + 64
        end = start + header_length
        if end + pad > len(data):
            raise Malformed("truncated sample")
        if any(data[end:end + pad]):
            raise Malformed("non-zero pad")
        samples.append(Sample(sample_sequence, source_id, rate, pool, frame_length, data[start:end], drops))
        offset = end + pad
    if offset != len(data):
        raise Malformed("%d trailing bytes" % (len(data) - offset))
    return Datagram(len(data), sequence, agent, samples)


def decode_generic(data):
    version, address_type = _words(data, 0, 2)
    if version != 5 or address_type not in (1, 2):
        raise Malformed("header %d/%d" % (version, address_type))
    offset = 8 + (4 if address_type == 1 else 16)
    _sub_agent, sequence, _uptime, count = _words(data, offset, 4)
    agent = data[8:offset]
    offset += 16
    samples = []
    counters = 0
    for _ in range(count):
        sample_type, sample_length = _words(data, offset, 2)
        body = offset + 8
        end = body + sample_length
        if sample_length % 4 or end > len(data):
            raise Malformed("sample length %d" % sample_length)
        enterprise, fmt = sample_type >> 12, sample_type & 0xFFF
        if enterprise == 0 and fmt in (1, 3):
            if fmt == 1:
                sample_sequence, source_id, rate, pool, _drops, _in, _out, records = _words(data, body, 8)
                cursor = body + 32
            else:
                (sample_sequence, _type, source_id, rate, pool, _drops, _in_format, _in,
                 _out_format, _out, records) = _words(data, body, 11)
                cursor = body + 44
            frame_length, header = 0, b""
            for _ in range(records):
                record_type, record_length = _words(data, cursor, 2)
                if record_length % 4 or cursor + 8 + record_length > end:
                    raise Malformed("record length %d" % record_length)
                if record_type == 1:
                    _protocol, frame_length, _stripped, header_length = _words(data, cursor + 8, 4)
                    if 16 + header_length > record_length:
                        raise Malformed("header length %d" % header_length)
                    header = data[cursor + 24:cursor + 24 + header_length]
                cursor += 8 + record_length
            if cursor != end:
                raise Malformed("records do not fill the sample")
            samples.append(Sample(sample_sequence, source_id, rate, pool, frame_length, header))
        elif enterprise == 0 and fmt in (2, 4):
            counters += 1
        offset = end
    if offset != len(data):
        raise Malformed("%d trailing bytes" % (len(data) - offset))
    return Datagram(len(data), sequence, agent, samples, counters)


def classify(header, sender_mac, constant_addresses):
    """Which of the benchmark's classes a sampled header belongs to: "constant" (IPv4 with the
    constant flow's source and destination, 8 bytes), "ipv4", "ipv6", or None for a frame the
    benchmark did not send."""
    if header[6:12] != sender_mac or len(header) < 14:
        return None
    ether_type = header[12:14]
    if ether_type == b"\x86\xdd":
        return "ipv6"
    if ether_type != b"\x08\x00":
        return None
    return "constant" if header[26:34] == constant_addresses else "ipv4"


def probe_number(header, marker=b"WPRB"):
    """The number of a latency probe frame (IPv4/UDP, marker at the start of the payload), or
    None for any other frame."""
    if len(header) < 50 or header[12:14] != b"\x08\x00":
        return None
    payload = 14 + (header[14] & 0x0F) * 4 + 8
    if header[payload:payload + 4] != marker:
        return None
    return int.from_bytes(header[payload + 4:payload + 8], "big")
