#include "status_codes.h"

#include <cerrno>

namespace wendrel {

int32_t win32FromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
      return ERROR_DISK_FULL;
    default:
      return ERROR_READ_FAULT;
  }
}

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
