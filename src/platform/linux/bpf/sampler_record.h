// What the sampling program and the agent's reader share: the per-interface counters and the
// record of one sampled packet in the ring. Plain C, read by both compilers.
#pragma once

#include <linux/types.h>

#define WENDREL_HEADER_BYTES 128
#define WENDREL_MAX_INTERFACES 8192
// 4 MiB: about 26,000 samples, over two seconds of 1 Gb/s of small frames at rate 32.
#define WENDREL_RING_BYTES (4 * 1024 * 1024)

struct wendrel_counts {
  __u64 packets;  // eligible packets seen, both directions: the sample pool
  __u64 drops;    // samples the full ring had no room for
};

struct wendrel_sample {
  __u32 ifindex;
  __u32 egress;        // 0: received, 1: sent
  __u32 frame_length;  // on the wire
  __u32 captured;      // bytes of `header` filled
  __u64 pool;          // the interface's packet count when this one was taken
  __u64 drops;         // the interface's drops so far
  __u8 header[WENDREL_HEADER_BYTES];
};
