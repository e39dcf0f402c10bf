// The settings of the "debug" section of the base library's configuration,
// one named reader per key. Each reader asks the configuration afresh; the
// families decide when to read and whether to keep the answer.
//
// A reader returns true and fills *value when the key is configured, false
// (leaving *value untouched) when the configuration object or the key is
// missing, so the caller's built-in default stands.
//
// Thread safety: any thread may call these; the configuration object
// serialises its own reads.
#ifndef RE5ZOR4_SRC_CORE_SETTINGS_H_
#define RE5ZOR4_SRC_CORE_SETTINGS_H_

class ZnConfig;

namespace re5zor4 {
namespace settings {

// "mode": the debug-level mask of the debugger stream.
bool Mode(int* value);
// "ZARNConsole": bit 0 standard output, bit 1 the debugger channel.
bool ZarnConsole(int* value);
// "csSleepTime": milliseconds a deadlock-detecting section sleeps before its
// final release.
bool CsSleepTime(int* value);
// "enableLogFile": the event log switch.
bool EnableLogFile(short* value);
// "logFile": the event log's file name. *value points at the configuration's
// own text, or is left as given (the caller's default).
bool LogFile(char** value);

// "statusSignal": non-zero makes the quit signal write the status dump.
bool StatusSignal(int* value);
// "lockOrder": non-zero records the order in which threads take sections and
// reports orders that form a cycle (core/lock_order.h).
bool LockOrder(int* value);
// "rwDeadlocks": non-zero puts reader/writer mutexes made from then on (with
// a deadlock-detecting section) into the deadlock wait-for graph.
bool RwDeadlocks(int* value);

// The process configuration; null when the base library has none.
ZnConfig* Config();

// True when the switch that reader reads is configured non-zero.
bool IsOn(bool (*reader)(int*));

// "stackTraces": non-zero makes the deadlock report show the stack of each
// thread of the cycle.
bool StackTraces(int* value);
// "reportJson": non-zero appends each deadlock report as one JSON line to
// "deadlock.jsonl".
bool ReportJson(int* value);

}  // namespace settings
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_SETTINGS_H_
