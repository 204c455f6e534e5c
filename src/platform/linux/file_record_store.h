// RecordStore as files: var/lib/wendrel/{AppID,TypeLib}/{appid}.conf under the root prefix,
// or $XDG_DATA_HOME/wendrel/... (default ~/.local/share/wendrel/...) for the current user.
#pragma once

#include <optional>
#include <string>

#include "record_store.h"

namespace wendrel {

class FileRecordStore : public RecordStore {
 public:
  // `appId`: the GUID text in lower case between braces.
  explicit FileRecordStore(std::string appId);

  int32_t read(Kind kind, bool perUser, Record& record) override;
  int32_t write(Kind kind, bool perUser, const Record& record) override;
  int32_t remove(Kind kind, bool perUser) override;

  // The record's path; nothing when the user has no data directory.
  std::optional<std::string> path(Kind kind, bool perUser) const;

 private:
  std::string appId_;
};

}  // namespace wendrel
