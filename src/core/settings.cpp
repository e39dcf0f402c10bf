// Readers of the "debug" section.
#include "core/settings.h"

#include "ru5red4/znconfig.h"

namespace re5zor4 {
namespace settings {
namespace {

const ZnConfigSection kDebugSection = {"debug", nullptr};

bool Long(const char* key, int* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetLong(key, value, &kDebugSection) == 0;
}

}  // namespace

ZnConfig* Config() {
  return DefaultConfig(reinterpret_cast<ZnConfig*>(-1));
}

bool IsOn(bool (*reader)(int*)) {
  int value = 0;
  return reader(&value) && value != 0;
}

bool Mode(int* value) {
  return Long("mode", value);
}

bool ZarnConsole(int* value) {
  return Long("ZARNConsole", value);
}

bool CsSleepTime(int* value) {
  return Long("csSleepTime", value);
}

bool StatusSignal(int* value) {
  return Long("statusSignal", value);
}

bool LockOrder(int* value) {
  return Long("lockOrder", value);
}

bool RwDeadlocks(int* value) {
  return Long("rwDeadlocks", value);
}

bool StackTraces(int* value) {
  return Long("stackTraces", value);
}

bool ReportJson(int* value) {
  return Long("reportJson", value);
}

bool EnableLogFile(short* value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetShort("enableLogFile", value, &kDebugSection) == 0;
}

bool LogFile(char** value) {
  ZnConfig* config = Config();
  return config != nullptr && config->GetText("logFile", value, &kDebugSection) == 0;
}

}  // namespace settings
}  // namespace re5zor4
