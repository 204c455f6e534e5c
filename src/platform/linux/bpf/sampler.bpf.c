// The kernel half of Capture = "ebpf": on the ingress and egress of every captured interface
// it counts each eligible packet (the sample pool), draws the kernel's random number to
// take one in N, and puts the first bytes of each one taken in one ring buffer for the
// agent's reader. A full ring counts a drop on the interface.
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "sampler_record.h"

// Set by the agent, at the start and on a reload. `sampling` holds the rate N in its high half
// and in its low half the threshold below which the random number takes a packet, 2^32 / N:
// one 64-bit store changes both, so that no packet is drawn at one rate and labelled with
// another. IPv6 packets are eligible with `with_ipv6`.
volatile __u64 sampling = 1ULL << 32;
volatile __u32 with_ipv6 = 1;

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, WENDREL_MAX_INTERFACES);
  __type(key, __u32);
  __type(value, struct wendrel_counts);
} counts SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, WENDREL_SLOTS);
  __type(key, __u32);
  __type(value, struct wendrel_pending);
} pending_slots SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_HASH);
  __uint(max_entries, WENDREL_MAX_INTERFACES);
  __type(key, __u32);
  __type(value, struct wendrel_pending);
} pending SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, WENDREL_RING_BYTES);
} samples SEC(".maps");

static __always_inline struct wendrel_pending* pending_of(__u32 ifindex) {
  const __u32 slot = ifindex & (WENDREL_SLOTS - 1);
  struct wendrel_pending* p = bpf_map_lookup_elem(&pending_slots, &slot);
  if (p && p->ifindex == ifindex)
    return p;
  return bpf_map_lookup_elem(&pending, &ifindex);
}

// Returns TCX_NEXT (-1): the program only looks, whatever else runs on the hook decides.
static __always_inline int sample(struct __sk_buff* skb, __u32 egress) {
  const __u16 proto = bpf_ntohs(skb->protocol);
  if (proto != ETH_P_IP && !(with_ipv6 && proto == ETH_P_IPV6))
    return -1;
  const __u32 ifindex = skb->ifindex;
  struct wendrel_pending* p = pending_of(ifindex);
  if (!p)
    return -1;  // not an interface the agent captures (yet)
  // A tc program runs to its end on its CPU before another one starts there.
  p->packets++;
  const __u64 now = sampling;
  const __u32 rate = now >> 32;
  if (rate > 1 && bpf_get_prandom_u32() >= (__u32)now)
    return -1;
  struct wendrel_counts* c = bpf_map_lookup_elem(&counts, &ifindex);
  if (!c)
    return -1;
  // The pool: every packet of this CPU so far, and of the others up to their last sample.
  const __u64 seen = p->packets;
  p->packets = 0;
  const __u64 pool = __sync_fetch_and_add(&c->packets, seen) + seen;
  struct wendrel_sample* s = bpf_ringbuf_reserve(&samples, sizeof(*s), 0);
  if (!s) {
    __sync_fetch_and_add(&c->drops, 1);
    return -1;
  }
  __u32 n = skb->len;
  if (n > WENDREL_HEADER_BYTES)
    n = WENDREL_HEADER_BYTES;
  s->ifindex = ifindex;
  s->egress = egress;
  s->frame_length = skb->len;
  s->captured = 0;
  s->rate = rate;
  s->pool = pool;
  s->drops = c->drops;
  if (n > 0 && bpf_skb_load_bytes(skb, 0, s->header, n) == 0)
    s->captured = n;
  bpf_ringbuf_submit(s, 0);
  return -1;
}

SEC("tc")
int wendrel_ingress(struct __sk_buff* skb) {
  return sample(skb, 0);
}

SEC("tc")
int wendrel_egress(struct __sk_buff* skb) {
  return sample(skb, 1);
}

char LICENSE[] SEC("license") = "Dual BSD/GPL";
