// The status signal, armed and disarmed by module start-up and shut-down.
#ifndef RE5ZOR4_SRC_STATUS_H_
#define RE5ZOR4_SRC_STATUS_H_

namespace re5zor4 {
namespace status {

// Installs the quit-signal handler when "statusSignal" is non-zero.
void ArmSignalIfConfigured();
// Puts the signal's earlier disposition back.
void DisarmSignal();

}  // namespace status
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_STATUS_H_
