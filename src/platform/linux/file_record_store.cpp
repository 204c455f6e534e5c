#include "file_record_store.h"

#include <cstdlib>

#include "files.h"
#include "status_codes.h"
#include "value_file.h"

namespace wendrel {

FileRecordStore::FileRecordStore(std::string appId) : appId_(std::move(appId)) {}

std::optional<std::string> FileRecordStore::path(Kind kind, bool perUser) const {
  std::string base;
  if (perUser) {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome && *dataHome == '/') {
      base = dataHome;
    } else if (home && *home) {
      base = std::string(home) + "/.local/share";
    } else {
      return std::nullopt;
    }
    base += "/wendrel";
  } else {
    base = files::rootPrefix() + "/var/lib/wendrel";
  }
  return base + (kind == Kind::AppId ? "/AppID/" : "/TypeLib/") + appId_ + ".conf";
}

int32_t FileRecordStore::read(Kind kind, bool perUser, Record& record) {
  const auto file = path(kind, perUser);
  if (!file)
    return ERROR_PATH_NOT_FOUND;
  return files::win32FromErrno(valueFile::load(*file, record));
}

int32_t FileRecordStore::write(Kind kind, bool perUser, const Record& record) {
  const auto file = path(kind, perUser);
  if (!file)
    return ERROR_PATH_NOT_FOUND;
  return files::win32FromErrno(files::writeFileAtomic(*file, valueFile::serialize(record)));
}

int32_t FileRecordStore::remove(Kind kind, bool perUser) {
  const auto file = path(kind, perUser);
  if (!file)
    return ERROR_PATH_NOT_FOUND;
  return files::win32FromErrno(files::removeFile(*file));
}

}  // namespace wendrel
