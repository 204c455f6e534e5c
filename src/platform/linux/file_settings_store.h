// The settings file etc/wendrel/wendrel.conf under the root prefix.
#pragma once

#include <string>

#include "settings_store.h"
#include "value_file.h"

namespace wendrel {

class FileSettingsStore : public SettingsStore {
 public:
  // `path` empty: etc/wendrel/wendrel.conf under WENDREL_ROOT.
  explicit FileSettingsStore(std::string path = {});

  std::optional<std::string> readString(const std::string& name, size_t capacity) override;
  std::optional<uint32_t> readUInt32(const std::string& name) override;
  std::vector<std::string> names() override;
  std::string location() override;

 private:
  // Read on first use, so that its warnings reach the log once logging is configured.
  const Record& values();

  std::string path_;
  bool loaded_ = false;
  Record values_;
};

}  // namespace wendrel
