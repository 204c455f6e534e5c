#include "file_settings_store.h"

#include "files.h"

namespace wendrel {

FileSettingsStore::FileSettingsStore(std::string path) : path_(std::move(path)) {}

std::optional<std::string> FileSettingsStore::readString(const std::string& name, size_t capacity) {
  return values().readString(name, capacity);
}

std::optional<uint32_t> FileSettingsStore::readUInt32(const std::string& name) {
  return values().readUInt32(name);
}

std::vector<std::string> FileSettingsStore::names() {
  return values().names();
}

std::string FileSettingsStore::location() {
  values();  // settles the path
  return path_;
}

const Record& FileSettingsStore::values() {
  if (!loaded_) {
    if (path_.empty())
      path_ = files::rootPrefix() + "/etc/wendrel/wendrel.conf";
    // A missing or unreadable file leaves every value missing.
    valueFile::load(path_, values_);
    loaded_ = true;
  }
  return values_;
}

}  // namespace wendrel
