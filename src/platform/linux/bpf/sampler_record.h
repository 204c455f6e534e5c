// What the sampling program and the agent's reader share: the per-interface counters and the
// record of one sampled packet in the ring. Plain C, read by both compilers.
#pragma once

#include <linux/types.h>

#define WENDREL_HEADER_BYTES 128
#define WENDREL_MAX_INTERFACES 8192
// Each CPU counts an interface's packets in the array slot `ifindex % WENDREL_SLOTS` when it
// is free, the cheapest lookup the program can make, else in a hash.
#define WENDREL_SLOTS 4096
// 4 MiB: about 26,000 samples, over two seconds of 1 Gb/s of small frames at rate 32.
#define WENDREL_RING_BYTES (4 * 1024 * 1024)

// Shared by all CPUs, changed only when a packet is taken.
struct wendrel_counts {
  __u64 packets;  // eligible packets seen up to each CPU's last sample: the sample pool
  __u64 drops;    // samples the full ring had no room for
};

// One per CPU: a locked add on every packet would cost more than the rest of the program.
struct wendrel_pending {
  __u64 packets;  // eligible packets this CPU saw since its last sample of the interface
  __u32 ifindex;  // whose count this is (0: a free slot)
  __u32 unused;
};

struct wendrel_sample {
  __u32 ifindex;
  __u32 egress;        // 0: received, 1: sent
  __u32 frame_length;  // on the wire
  __u32 captured;      // bytes of `header` filled
  __u32 rate;          // the sampling rate it was taken at
  __u32 unused;
  __u64 pool;   // the interface's packet count when this one was taken
  __u64 drops;  // the interface's drops so far
  __u8 header[WENDREL_HEADER_BYTES];
};
