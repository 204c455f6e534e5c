// Self-registration: the service, the AppID record (whose "LocalService" value makes the
// program start as a service) and the type-library record.
#pragma once

#include <cstdint>
#include <string>

#include "command_line.h"
#include "message_sink.h"
#include "record_store.h"
#include "service_manager.h"

namespace wendrel {

class Registrar : public RegistrationOperations {
 public:
  // `executable`: the program's full path ("" when unknown), which the service runs and the
  // type-library record names.
  Registrar(std::string serviceName, std::string executable, ServiceManager& manager,
            RecordStore& records, MessageSink& messages);

  int32_t RegisterAppId(bool service) override;
  int32_t UnregisterAppId() override;
  int32_t RegisterServer() override;
  int32_t UnregisterServer() override;
  // The records then go to the current user's data directory; the service stays machine-wide.
  void SetPerUserRegistration() override { perUserRegistration_ = true; }

  // Creates the service unless it exists.
  bool Install();
  // Stops and deletes the service if it exists; true also when there was nothing to do.
  bool Uninstall();
  bool IsInstalled();

 private:
  void show(const char* text);

  std::string serviceName_;
  std::string executable_;
  ServiceManager& manager_;
  RecordStore& records_;
  MessageSink& messages_;
  bool perUserRegistration_ = false;
};

}  // namespace wendrel
