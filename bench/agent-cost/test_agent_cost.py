"""Checks of the bench's own pieces, no root needed: the frames wendrel_bench sends (plain and
mixed), its replay of the agent's filter and counter, and its reading of datagrams through
the tests' decoder (what the agent sends, ifindex source ids and directions included)."""

import json
import os
import socket
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

import benchlib

TOOL = Path(os.environ.get("WENDREL_BENCH", benchlib.REPO / "build-bench" / "bench" / "wendrel_bench"))
PASSES = ("192.0.2.21", "198.51.100.1")  # the runner's constant flow that the checksum filters pass


def ones_complement_sum(data):
    data += b"\0" * (len(data) % 2)
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def tool(*arguments):
    return subprocess.run([str(TOOL)] + [str(a) for a in arguments], check=True, capture_output=True,
                          text=True).stdout


@unittest.skipUnless(TOOL.exists(), "build wendrel_bench first")
class Frames(unittest.TestCase):
    def frames(self, seed, count=4000, mix=(), configs="32:1"):
        with tempfile.TemporaryDirectory() as work:
            path = Path(work) / "frames.pcap"
            described = json.loads(tool("describe", configs, "--pcap", path, "--count", count, "--seed", seed,
                                        *(["--mix", ",".join(mix)] if mix else [])))
            data, offset, frames = path.read_bytes(), 24, []
            while offset < len(data):
                caplen = struct.unpack_from("<I", data, offset + 8)[0]
                frames.append(data[offset + 16:offset + 16 + caplen])
                offset += 16 + caplen
            return frames, described

    def test_frames_are_valid_varied_and_reproducible(self):
        frames = self.frames(seed=3)[0]
        self.assertEqual(frames, self.frames(seed=3)[0])
        self.assertNotEqual(frames, self.frames(seed=4)[0])
        for frame in frames:
            ip, udp = frame[14:34], frame[34:]
            self.assertEqual((frame[12:14], ip[0], struct.unpack("!H", ip[2:4])[0]), (b"\x08\x00", 0x45, len(frame) - 14))
            self.assertTrue(64 <= len(frame) <= 1514)
            self.assertEqual(ones_complement_sum(ip), 0xFFFF, "IP header checksum")
            pseudo = ip[12:20] + struct.pack("!BBH", 0, 17, len(udp))
            self.assertEqual(ones_complement_sum(pseudo + udp), 0xFFFF, "UDP checksum")
        # Varied enough that the checksum filter sees every low byte.
        self.assertGreater(len({len(f) for f in frames}), 1000)
        self.assertGreater(len({f[26:30] for f in frames}), 3900)
        self.assertEqual(len({f[25] for f in frames}), 256)

    def test_mixed_stream_classes_and_the_replay(self):
        count = 20000
        frames, described = self.frames(seed=5, count=count, mix=PASSES, configs="32:1,100:1,32:0,40000:1")
        constant = b"".join(socket.inet_aton(a) for a in PASSES)
        classes = {"ipv4": [], "constant": [], "ipv6": []}
        for frame in frames:
            classes[benchlib.classify(frame[:128], constant)].append(frame)
        self.assertEqual({k: len(v) for k, v in classes.items()}, described["classes"])
        for name, share in (("constant", 0.2), ("ipv4", 0.7), ("ipv6", 0.1)):  # within 4 sigma
            self.assertLess(abs(len(classes[name]) - count * share), 4 * (count * share * (1 - share)) ** 0.5)
        # One constant frame, IP id 0 and DF, whose checksum passes both rates' filters.
        self.assertEqual(len(set(classes["constant"])), 1)
        ip = classes["constant"][0][14:34]
        self.assertEqual((ip[4:8], ones_complement_sum(ip), ip[11] & 0x3F), (b"\0\0\x40\0", 0xFFFF, 0x3F))
        for frame in classes["ipv6"]:
            ip6, udp = frame[14:54], frame[54:]
            self.assertEqual((ip6[0] >> 4, ip6[8:12]), (6, b"\x20\x01\x0d\xb8"))
            self.assertEqual(ones_complement_sum(ip6[8:40] + struct.pack("!IxxxB", len(udp), 17) + udp), 0xFFFF)
        # The agent's filters pass IPv4 only, "ip" all of it, and every-N-th counting from 0 takes
        # floor(passed * step / rate) of what passes; the largest step is 32768.
        ipv4 = len(classes["ipv4"]) + len(classes["constant"])
        for c in described["configs"]:
            self.assertEqual(c["sampled"], c["passed"] * c["step"] // c["rate"], c)
            self.assertEqual(c["passed"] == ipv4, c["filter"] == "ip", c)
            self.assertGreaterEqual(c["sampled_by_class"]["constant"] * c["rate"],
                                    0 if c["filter"] == "ip" else len(classes["constant"]) - c["rate"], c)
        self.assertEqual([c["step"] for c in described["configs"]], [16, 64, 1, 32768])


def flow_sample(sequence, header, source=0, rate=32, pad=b"", input_if=0, output_if=0):
    pad = pad or bytes((4 - len(header) % 4) % 4)
    body = struct.pack("!8I", sequence, source, rate, rate * sequence, 0, input_if, output_if, 1)
    record = struct.pack("!4I", 1, len(header), 0, len(header)) + header + pad
    body += struct.pack("!2I", 1, len(record)) + record
    return struct.pack("!2I", 1, len(body)) + body


def counter_sample(name=b"eth0.1", source=7, name_pad=b"\0\0"):
    words = struct.pack("!3I", 1, source, 2) + struct.pack("!2I", 1, 88)
    words += struct.pack("!8I", 5, 6, 2, 0x540BE400, 1, 3, 1, 0x23456789) + bytes(56)
    words += struct.pack("!3I", 1005, 4 + len(name) + len(name_pad), len(name)) + name + name_pad
    return struct.pack("!2I", 2, len(words)) + words


def datagram(samples, sequence=1):
    return struct.pack("!7I", 5, 1, 0x0A000005, 0, sequence, 5000, len(samples)) + b"".join(samples)


@unittest.skipUnless(TOOL.exists(), "build wendrel_bench first")
class Decoding(unittest.TestCase):
    def decode(self, *datagrams, strict=True):
        with tempfile.TemporaryDirectory() as work:
            path = Path(work) / "received.bin"
            path.write_bytes(b"".join(struct.pack("<QI", 7, len(d)) + d for d in datagrams))
            return benchlib.decode(TOOL, path, strict=strict)

    def test_reads_what_the_agent_sends(self):
        frame = bytes(range(60))
        # SourceId = "ifindex": the kernel's index as the source, the direction in the
        # interfaces (0x3FFFFFFF: this host), beside a counter sample.
        ifindex = flow_sample(3, frame, source=70000, input_if=0x3FFFFFFF, output_if=70000)
        (d, plain, other), end = self.decode(datagram([ifindex, counter_sample()]), datagram([flow_sample(1, bytes(61))], 2),
                                             datagram([]) + b"\0\0\0\0")
        self.assertIsNone(d.malformed)
        self.assertEqual(end, 3 * 12 + d.size + plain.size + other.size)
        (s,), (c,) = d.samples, d.counters
        self.assertEqual((d.at, d.sequence, s.sequence, s.source_id, s.input, s.output, s.header),
                         (7, 1, 3, 70000, 0x3FFFFFFF, 70000, frame))
        self.assertEqual((c.sequence, c.source_id, c.if_index, c.if_type, c.status, c.in_octets, c.name),
                         (1, 7, 5, 6, 3, 0x123456789, "eth0.1"))
        self.assertEqual(len(plain.samples[0].header), 61)
        self.assertTrue(other.malformed)

    def test_refuses_what_the_agent_never_sends_unless_any_sflow_is_asked_for(self):
        good = flow_sample(1, bytes(70))
        cases = [datagram([flow_sample(1, bytes(70), pad=b"\0\1")]),
                 datagram([good])[:24] + struct.pack("!I", 2) + good,
                 datagram([flow_sample(i, bytes(128)) for i in range(7)]),  # over 1300 bytes
                 datagram([flow_sample(1, bytes(132))]),
                 datagram([flow_sample(1, bytes(60), source=1 << 24 | 3)]),
                 datagram([counter_sample(name_pad=b"")])]
        self.assertTrue(all(d.malformed for d in self.decode(*cases)[0]))
        # A peer's expanded flow sample (source class 1) with a record the agent never writes.
        body = struct.pack("!11I", 7, 1, 3, 100, 700, 0, 0, 0, 0, 0, 2) + struct.pack("!3I", 1001, 4, 9)
        body += struct.pack("!2I", 1, 80) + struct.pack("!4I", 1, 64, 0, 64) + bytes(64)
        peer = datagram([good, struct.pack("!2I", 3, len(body)) + body])
        (strict,), _ = self.decode(peer)
        (any_,), _ = self.decode(peer, strict=False)
        self.assertTrue(strict.malformed)
        self.assertEqual([(s.sequence, s.source_id, s.rate, len(s.header)) for s in any_.samples],
                         [(1, 0, 32, 70), (7, 1 << 24 | 3, 100, 64)])


if __name__ == "__main__":
    unittest.main()
