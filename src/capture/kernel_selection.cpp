#include "kernel_selection.h"

#include <linux/filter.h>

#include <cassert>

namespace wendrel {

namespace {

constexpr uint32_t kEtherTypeOffset = 12;
// The IPv4 header follows a 14-byte Ethernet header; its checksum is at byte 10.
constexpr uint32_t kIpv4ChecksumOffset = 14 + 10;
constexpr uint32_t kEtherTypeIpv4 = 0x0800;
constexpr uint32_t kEtherTypeIpv6 = 0x86DD;

bpf_insn statement(uint16_t code, uint32_t k) {
  return bpf_insn{code, 0, 0, k};
}

bpf_insn jump(uint16_t code, uint32_t k, uint8_t ifTrue, uint8_t ifFalse) {
  return bpf_insn{code, ifTrue, ifFalse, k};
}

}  // namespace

std::vector<bpf_insn> kernelSelectionProgram(KernelSelection how, uint32_t k, bool ipv6,
                                             uint32_t snapLength) {
  assert(k >= 1 && k <= 32768 && (k & (k - 1)) == 0);
  const uint32_t mask = k - 1;
  // Jump offsets count from the instruction after the jump. The layout is fixed:
  //  0 ldh [12]
  //  1 jeq IPv4            -> 3 (IPv4 selection) / 2
  //  2 jeq IPv6            -> 6 (random draw) / 10 (drop); without IPv6: drop
  //  3-5 IPv4: checksum bits or a random draw, -> 9 (accept) / 10 (drop)
  //  6-8 IPv6: a random draw, -> 9 / 10
  std::vector<bpf_insn> program;
  program.push_back(statement(BPF_LD | BPF_H | BPF_ABS, kEtherTypeOffset));
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kEtherTypeIpv4, 1, 0));
  // Not IPv4: IPv6 goes to the random draw at 6, anything else to the drop at 10.
  program.push_back(ipv6 ? jump(BPF_JMP | BPF_JEQ | BPF_K, kEtherTypeIpv6, 3, 7)
                         : statement(BPF_RET | BPF_K, 0));
  if (how == KernelSelection::kChecksumBits)
    program.push_back(statement(BPF_LD | BPF_H | BPF_ABS, kIpv4ChecksumOffset));
  else
    program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, SKF_AD_OFF + SKF_AD_RANDOM));
  program.push_back(statement(BPF_ALU | BPF_AND | BPF_K, mask));
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, mask, 3, 4));
  // 6: the random draw for IPv6.
  program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, SKF_AD_OFF + SKF_AD_RANDOM));
  program.push_back(statement(BPF_ALU | BPF_AND | BPF_K, mask));
  // A draw passes on all mask bits set, like the checksum test, so one accept serves both.
  program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, mask, 0, 1));
  program.push_back(statement(BPF_RET | BPF_K, snapLength));  // 9: accept
  program.push_back(statement(BPF_RET | BPF_K, 0));           // 10: drop
  return program;
}

}  // namespace wendrel
