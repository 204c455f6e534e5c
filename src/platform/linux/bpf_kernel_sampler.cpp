#include "bpf_kernel_sampler.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/capability.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "sampler.skel.h"
#include "sampler_record.h"

namespace wendrel {
namespace {

// Debian's libbpf and kernel headers predate tcx (Linux 6.6): its attach types, as the
// kernel numbers them.
constexpr auto kTcxIngress = static_cast<bpf_attach_type>(46);
constexpr auto kTcxEgress = static_cast<bpf_attach_type>(47);
constexpr int kCapBpf = 39;  // not in these headers either
constexpr int kLoopbackIndex = 1;

std::string errnoText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error < 0 ? -error : error);
}

// The capabilities the calling thread lacks of the two that loading and attaching need.
std::string missingCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0)
    return errnoText("the capabilities cannot be read", errno);
  const auto has = [&](int cap) { return (data[cap / 32].effective >> (cap % 32)) & 1U; };
  std::string missing;
  if (!has(kCapBpf))
    missing = "CAP_BPF";
  if (!has(CAP_NET_ADMIN))
    missing += missing.empty() ? "CAP_NET_ADMIN" : " and CAP_NET_ADMIN";
  return missing.empty() ? "" : "the capabilities " + missing;
}

bool isEthernet(const std::string& name) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  const bool ethernet =
      ::ioctl(fd, SIOCGIFHWADDR, &request) == 0 && request.ifr_hwaddr.sa_family == ARPHRD_ETHER;
  ::close(fd);
  return ethernet;
}

}  // namespace

std::unique_ptr<KernelSampler> BpfKernelSampler::open(uint32_t samplingRate, bool ipv6,
                                                      std::string& missing) {
  missing = missingCapabilities();
  if (!missing.empty())
    return nullptr;
  std::unique_ptr<BpfKernelSampler> sampler(new BpfKernelSampler);
  sampler->cpus = libbpf_num_possible_cpus();
  if (sampler->cpus <= 0) {
    missing = errnoText("the number of CPUs cannot be read", sampler->cpus);
    return nullptr;
  }
  sampler->skeleton = wendrel_sampler__open();
  if (sampler->skeleton == nullptr) {
    missing = errnoText("the sampling program cannot be opened", errno);
    return nullptr;
  }
  sampler->setSampling(samplingRate, ipv6);  // the initial values
  if (const int error = wendrel_sampler__load(sampler->skeleton); error != 0) {
    missing = errnoText("the kernel refused the sampling program or its ring buffer", error);
    return nullptr;
  }
  sampler->ring = ring_buffer__new(bpf_map__fd(sampler->skeleton->maps.samples),
                                   &BpfKernelSampler::onSample, sampler.get(), nullptr);
  if (sampler->ring == nullptr) {
    missing = errnoText("the ring buffer cannot be read", errno);
    return nullptr;
  }
  // Loopback is never captured and always there: a link on it shows whether tcx exists.
  const int probe = bpf_link_create(bpf_program__fd(sampler->skeleton->progs.wendrel_ingress),
                                    kLoopbackIndex, kTcxIngress, nullptr);
  if (probe < 0) {
    missing = probe == -EINVAL ? "tcx, which came with Linux 6.6"
                               : errnoText("a tcx link cannot be made", probe);
    return nullptr;
  }
  ::close(probe);
  return sampler;
}

void BpfKernelSampler::setSampling(uint32_t samplingRate, bool ipv6) {
  // Taken when the 32-bit random number is below 2^32 / N: probability 1 / N within 2^-32.
  const uint64_t rate = std::max(samplingRate, 1U);
  const uint64_t threshold = rate == 1 ? 0 : (uint64_t{1} << 32) / rate;
  // Before loading these are the program's initial data; after, the program's own memory.
  __atomic_store_n(&skeleton->data->sampling, rate << 32 | threshold, __ATOMIC_RELAXED);
  __atomic_store_n(&skeleton->data->with_ipv6, ipv6 ? 1U : 0U, __ATOMIC_RELAXED);
}

BpfKernelSampler::~BpfKernelSampler() {
  for (const auto& [ifIndex, link] : links)
    ::close(link.in), ::close(link.out);
  ring_buffer__free(ring);
  wendrel_sampler__destroy(skeleton);
}

std::string BpfKernelSampler::attach(const std::string& name, uint32_t ifIndex) {
  detach(ifIndex);
  if (!isEthernet(name))
    return "not an Ethernet interface";
  const wendrel_counts zero{};
  if (bpf_map_update_elem(bpf_map__fd(skeleton->maps.counts), &ifIndex, &zero, BPF_ANY) != 0)
    return errnoText("no room for its counters", errno);
  std::vector<wendrel_pending> perCpu(static_cast<size_t>(cpus));
  uint32_t key = ifIndex % WENDREL_SLOTS;
  const bool inSlot =
      bpf_map_lookup_elem(bpf_map__fd(skeleton->maps.pending_slots), &key, perCpu.data()) == 0 &&
      perCpu[0].ifindex == 0;
  for (wendrel_pending& p : perCpu)
    p = wendrel_pending{0, ifIndex, 0};
  if (bpf_map_update_elem(pendingMap(inSlot, ifIndex, key), &key, perCpu.data(), BPF_ANY) != 0) {
    const int error = errno;
    forget(ifIndex, false);
    return errnoText("no room for its counters", error);
  }
  const int in = bpf_link_create(bpf_program__fd(skeleton->progs.wendrel_ingress),
                                 static_cast<int>(ifIndex), kTcxIngress, nullptr);
  const int out = in < 0 ? in
                         : bpf_link_create(bpf_program__fd(skeleton->progs.wendrel_egress),
                                           static_cast<int>(ifIndex), kTcxEgress, nullptr);
  if (out < 0) {
    if (in >= 0)
      ::close(in);
    forget(ifIndex, inSlot);
    return errnoText("tcx link", out);
  }
  links[ifIndex] = {in, out, inSlot};
  return "";
}

void BpfKernelSampler::detach(uint32_t ifIndex) {
  const auto it = links.find(ifIndex);
  if (it == links.end())
    return;
  ::close(it->second.in), ::close(it->second.out);
  const bool inSlot = it->second.inSlot;
  links.erase(it);
  forget(ifIndex, inSlot);
}

int BpfKernelSampler::pendingMap(bool inSlot, uint32_t ifIndex, uint32_t& key) const {
  key = inSlot ? ifIndex % WENDREL_SLOTS : ifIndex;
  return bpf_map__fd(inSlot ? skeleton->maps.pending_slots : skeleton->maps.pending);
}

void BpfKernelSampler::forget(uint32_t ifIndex, bool inSlot) {
  bpf_map_delete_elem(bpf_map__fd(skeleton->maps.counts), &ifIndex);
  uint32_t key = 0;
  const int map = pendingMap(inSlot, ifIndex, key);
  if (inSlot) {  // an array's slot stays: zeroes free it
    const std::vector<wendrel_pending> zero(static_cast<size_t>(cpus));
    bpf_map_update_elem(map, &key, zero.data(), BPF_ANY);
  } else {
    bpf_map_delete_elem(map, &key);
  }
}

int BpfKernelSampler::onSample(void* context, void* data, size_t size) {
  auto* self = static_cast<BpfKernelSampler*>(context);
  wendrel_sample record;
  if (size < sizeof record)
    return 0;
  std::memcpy(&record, data, sizeof record);
  KernelSample sample;
  sample.ifIndex = record.ifindex;
  sample.egress = record.egress != 0;
  sample.frameLength = record.frame_length;
  sample.capturedLength = record.captured <= sizeof record.header ? record.captured : 0;
  sample.rate = record.rate;
  sample.bytes = static_cast<const uint8_t*>(data) + offsetof(wendrel_sample, header);
  sample.pool = record.pool;
  sample.drops = record.drops;
  (*self->taking)(sample);
  return 0;
}

size_t BpfKernelSampler::drain(const std::function<void(const KernelSample&)>& take) {
  taking = &take;
  const int consumed = ring_buffer__consume(ring);
  taking = nullptr;
  return consumed > 0 ? static_cast<size_t>(consumed) : 0;
}

int BpfKernelSampler::readyDescriptor() const {
  return ring_buffer__epoll_fd(ring);
}

KernelCounts BpfKernelSampler::counts(uint32_t ifIndex) {
  const auto it = links.find(ifIndex);
  wendrel_counts value{};
  if (it == links.end() ||
      bpf_map_lookup_elem(bpf_map__fd(skeleton->maps.counts), &ifIndex, &value) != 0)
    return {};
  // What the CPUs counted since their last sample is not in the shared count yet.
  std::vector<wendrel_pending> perCpu(static_cast<size_t>(cpus));
  uint32_t key = 0;
  if (bpf_map_lookup_elem(pendingMap(it->second.inSlot, ifIndex, key), &key, perCpu.data()) == 0)
    for (const wendrel_pending& p : perCpu)
      value.packets += p.ifindex == ifIndex ? p.packets : 0;
  return {value.packets, value.drops};
}

}  // namespace wendrel
