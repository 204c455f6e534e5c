// The 32-bit status codes of the service host (HRESULT form) and how they leave the process.
#pragma once

#include <cstdint>
#include <string>

namespace wendrel {

constexpr int32_t S_OK = 0;
constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
constexpr int32_t TYPE_E_REGISTRYACCESS = static_cast<int32_t>(0x8002801Cu);

// Win32 error codes the host produces itself.
constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
constexpr int32_t ERROR_PATH_NOT_FOUND = 3;
constexpr int32_t ERROR_ACCESS_DENIED = 5;
constexpr int32_t ERROR_DISK_FULL = 112;
constexpr int32_t ERROR_READ_FAULT = 29;  // stands for every other file failure
constexpr int32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;

// 0x80070000 | (code & 0xFFFF) for a positive code; zero and negative codes pass unchanged.
int32_t hresultFromWin32(int32_t code);

// The process exit status for a 32-bit status: its low 8 bits, but never 0 for a failure.
int exitStatusFromStatus(int32_t status);

}  // namespace wendrel
