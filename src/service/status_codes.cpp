#include "status_codes.h"

namespace wendrel {

int32_t hresultFromWin32(int32_t code) {
  if (code <= 0)
    return code;
  return static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(code) & 0xFFFFu));
}

int exitStatusFromStatus(int32_t status) {
  if (status == 0)
    return 0;
  const int low = static_cast<int>(static_cast<uint32_t>(status) & 0xFFu);
  return low == 0 ? 1 : low;
}

}  // namespace wendrel
