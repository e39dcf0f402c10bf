// Builds against the installed package: starts the module, takes a section
// recursively, prints its status line and stops.
#include <re5zor4/critsect.h>
#include <re5zor4/module.h>
#include <re5zor4/smp_io.h>

#include <cstring>

int main() {
  ___ZnExtendedContext(1);
  ZnCritSect* section = ZnCritSect::Make("consumer");
  section->Begin();
  section->Begin();
  char line[256];
  section->GetInfo(line, sizeof line);
  *GetConsole() << "consumer: " << line << endl;
  section->Exit();
  section->Exit();
  delete section;
  ___ZnExtendedContext(0);
  return std::strcmp(line, "consumer: owning count: 0; wait count: 0") == 0 ? 0 : 1;
}
