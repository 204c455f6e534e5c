#include "registrar.h"

#include "status_codes.h"

namespace wendrel {
namespace {

constexpr size_t kMaxPath = 260;
constexpr char kLocalService[] = "LocalService";

}  // namespace

Registrar::Registrar(std::string serviceName, std::string executable, ServiceManager& manager,
                     RecordStore& records, MessageSink& messages)
    : serviceName_(std::move(serviceName)),
      executable_(std::move(executable)),
      manager_(manager),
      records_(records),
      messages_(messages) {}

void Registrar::show(const char* text) {
  messages_.show(serviceName_, text);
}

int32_t Registrar::RegisterAppId(bool service) {
  if (!Uninstall())
    return E_FAIL;

  Record record;
  const int32_t readError = records_.read(RecordStore::Kind::AppId, perUserRegistration_, record);
  // A record that does not exist yet is created.
  if (readError != 0 && readError != ERROR_FILE_NOT_FOUND)
    return hresultFromWin32(readError);
  record.erase(kLocalService);
  if (service)
    record.setString(kLocalService, serviceName_);
  if (const int32_t writeError =
          records_.write(RecordStore::Kind::AppId, perUserRegistration_, record)) {
    return hresultFromWin32(writeError);
  }
  if (service && !Install()) {
    // No service mark without a service: "wendrel" would otherwise refuse to run by hand,
    // pointing at a unit that does not exist.
    record.erase(kLocalService);
    records_.write(RecordStore::Kind::AppId, perUserRegistration_, record);
    return E_FAIL;
  }
  return S_OK;
}

int32_t Registrar::UnregisterAppId() {
  if (!Uninstall())
    return E_FAIL;
  Record record;
  if (const int32_t readError =
          records_.read(RecordStore::Kind::AppId, perUserRegistration_, record)) {
    return hresultFromWin32(readError);
  }
  // The record itself stays, without "LocalService".
  record.erase(kLocalService);
  if (const int32_t writeError =
          records_.write(RecordStore::Kind::AppId, perUserRegistration_, record)) {
    return hresultFromWin32(writeError);
  }
  return S_OK;
}

int32_t Registrar::RegisterServer() {
  if (executable_.empty())
    return hresultFromWin32(ERROR_FILE_NOT_FOUND);
  Record record;
  record.setString("Name", "WendrelLib");
  record.setString("Version", "1.0");
  record.setNumber("Locale", 0x409, true);
  record.setString("Path", executable_);
  return hresultFromWin32(records_.write(RecordStore::Kind::TypeLib, perUserRegistration_, record));
}

int32_t Registrar::UnregisterServer() {
  const int32_t error = records_.remove(RecordStore::Kind::TypeLib, perUserRegistration_);
  if (error == ERROR_FILE_NOT_FOUND)
    return TYPE_E_REGISTRYACCESS;
  return hresultFromWin32(error);
}

bool Registrar::IsInstalled() {
  return manager_.open() && manager_.unitState() != ServiceManager::UnitState::Missing;
}

bool Registrar::Install() {
  if (IsInstalled())
    return true;
  if (executable_.empty() || executable_.size() >= kMaxPath)
    return false;
  if (!manager_.open()) {
    show("Could not open Service Manager");
    return false;
  }
  // Also when the service manager cannot take the path (a relative one, a line break in it).
  if (!manager_.create(executable_)) {
    show("Could not start service");
    return false;
  }
  return true;
}

bool Registrar::Uninstall() {
  if (!IsInstalled())
    return true;
  if (!manager_.open()) {
    show("Could not open Service Manager");
    return false;
  }
  const ServiceManager::UnitState unit = manager_.unitState();
  if (unit != ServiceManager::UnitState::RegularFile &&
      unit != ServiceManager::UnitState::Packaged) {
    show("Could not open service");
    return false;
  }
  // The stop is not waited for, and a failed one does not keep the service.
  if (!manager_.stop())
    show("Could not stop service");
  // The package's unit goes with the package; without the registration it does not run.
  if (unit == ServiceManager::UnitState::Packaged)
    return true;
  if (!manager_.remove()) {
    show("Could not delete service");
    return false;
  }
  return true;
}

}  // namespace wendrel
