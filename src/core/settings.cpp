// Readers of the "debug" section.
#include "core/settings.h"

#include "ru5red4/znconfig.h"

namespace re5zor4 {
namespace settings {
namespace {

const ZnConfigSection kDebugSection = {"debug", nullptr};

}  // namespace

ZnConfig* Config() {
  return DefaultConfig(reinterpret_cast<ZnConfig*>(-1));
}

bool Mode(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("mode", value, &kDebugSection) == 0;
}

bool ZarnConsole(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("ZARNConsole", value, &kDebugSection) == 0;
}

bool CsSleepTime(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("csSleepTime", value, &kDebugSection) == 0;
}

bool StatusSignal(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("statusSignal", value, &kDebugSection) == 0;
}

bool LockOrder(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("lockOrder", value, &kDebugSection) == 0;
}

bool RwDeadlocks(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("rwDeadlocks", value, &kDebugSection) == 0;
}

bool EnableLogFile(short* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetShort("enableLogFile", value, &kDebugSection) == 0;
}

bool LogFile(char** value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetText("logFile", value, &kDebugSection) == 0;
}

bool StackTraces(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("stackTraces", value, &kDebugSection) == 0;
}

bool ReportJson(int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong("reportJson", value, &kDebugSection) == 0;
}

}  // namespace settings
}  // namespace re5zor4
