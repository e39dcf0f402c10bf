// Demo scenario: a potential deadlock found from lock order alone
// ("lockOrder=1" in section [debug] of the demo's configuration).
//
// A transfer thread takes "Accounts" then "Ledger"; later an audit thread
// takes "Ledger" then "Accounts". The two never run at the same time, so
// nothing deadlocks; but had they overlapped, each could have held one section
// and waited for the other. The audit's second Begin closes the cycle of
// orders and the library reports it once, to the console and to
// "deadlock.txt". Running both again reports nothing new.
#include <thread>

#include "re5zor4/critsect.h"
#include "re5zor4/smp_io.h"
#include "ru5red4/znconfig.h"

namespace {

void Take(ZnCritSect* first, ZnCritSect* second) {
  first->Begin();
  second->Begin();
  second->Exit();
  first->Exit();
}

bool LockOrderConfigured() {
  static const ZnConfigSection kDebug = {"debug", nullptr};
  ZnConfig* config = DefaultConfig(reinterpret_cast<ZnConfig*>(-1));
  int value = 0;
  return config != nullptr && config->GetLong("lockOrder", &value, &kDebug) == 0 && value != 0;
}

}  // namespace

int RunLockOrderScenario() {
  smp_io& out = *GetConsole();
  out << "== Lock order" << endl;
  if (!LockOrderConfigured()) {
    out << "lockOrder is off in the configuration: nothing is recorded" << endl;
    return 0;
  }
  ZnSetDeadLockDetection(1);
  ZnCritSect* accounts = ZnCritSect::Make("Accounts");
  ZnCritSect* ledger = ZnCritSect::Make("Ledger");
  ZnSetDeadLockDetection(0);

  out << "transfer thread: Accounts, then Ledger" << endl;
  std::thread([&] { Take(accounts, ledger); }).join();
  out << "audit thread: Ledger, then Accounts (one after the other: no real deadlock)" << endl;
  std::thread([&] { Take(ledger, accounts); }).join();
  out << "both orders once more: already reported, nothing new" << endl;
  std::thread([&] { Take(accounts, ledger); }).join();
  std::thread([&] { Take(ledger, accounts); }).join();
  out << "the report was also appended to deadlock.txt" << endl;

  delete ledger;
  delete accounts;
  return 0;
}
