// The registration records: the AppID entry (with "LocalService") and the type library.
#pragma once

#include <cstdint>

#include "record.h"

namespace wendrel {

class RecordStore {
 public:
  enum class Kind { AppId, TypeLib };

  virtual ~RecordStore() = default;
  // Each returns 0 or the Win32 code of the failure (2 for a record that does not exist);
  // `perUser` selects the current user's records instead of the machine's.
  virtual int32_t read(Kind kind, bool perUser, Record& record) = 0;
  virtual int32_t write(Kind kind, bool perUser, const Record& record) = 0;
  virtual int32_t remove(Kind kind, bool perUser) = 0;
};

}  // namespace wendrel
