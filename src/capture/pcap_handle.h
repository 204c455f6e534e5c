// Move-only owners of an open capture handle and of a compiled filter program, so that no
// error path leaks either.
#pragma once

#include <utility>

#include "pcap_api.h"

namespace wendrel {

class PcapHandle {
 public:
  PcapHandle() noexcept = default;
  PcapHandle(PcapApi& api, pcap_t* handle) noexcept : api_(&api), handle_(handle) {}
  ~PcapHandle() { reset(); }
  PcapHandle(PcapHandle&& other) noexcept
      : api_(other.api_), handle_(std::exchange(other.handle_, nullptr)) {}
  PcapHandle& operator=(PcapHandle&& other) noexcept {
    if (this != &other) {
      reset();
      api_ = other.api_;
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  PcapHandle(const PcapHandle&) = delete;
  PcapHandle& operator=(const PcapHandle&) = delete;

  pcap_t* get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }
  pcap_t* release() noexcept { return std::exchange(handle_, nullptr); }
  void reset() noexcept {
    if (handle_ != nullptr)
      api_->close(std::exchange(handle_, nullptr));
  }

 private:
  PcapApi* api_ = nullptr;
  pcap_t* handle_ = nullptr;
};

// A filter program compiled by PcapApi::compile; freed with it when the owner goes.
class BpfProgram {
 public:
  explicit BpfProgram(PcapApi& api) noexcept : api_(&api) {}
  ~BpfProgram() { reset(); }
  BpfProgram(BpfProgram&& other) noexcept
      : api_(other.api_), program_(std::exchange(other.program_, bpf_program{})) {}
  BpfProgram& operator=(BpfProgram&& other) noexcept {
    if (this != &other) {
      reset();
      api_ = other.api_;
      program_ = std::exchange(other.program_, bpf_program{});
    }
    return *this;
  }
  BpfProgram(const BpfProgram&) = delete;
  BpfProgram& operator=(const BpfProgram&) = delete;

  // The program to compile into; whatever it held before is freed first.
  bpf_program* out() noexcept {
    reset();
    return &program_;
  }
  bpf_program* get() noexcept { return &program_; }
  void reset() noexcept {
    if (program_.bf_insns != nullptr)
      api_->freeCode(&program_);
    program_ = bpf_program{};
  }

 private:
  PcapApi* api_;
  bpf_program program_{};
};

}  // namespace wendrel
