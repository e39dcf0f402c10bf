// The host hooks: the debugger channel's sink and the prompt.
#include "re5zor4/hooks.h"

#include "platform/port.h"

ZnDebugOutputFunction ZnSetDebugOutput(ZnDebugOutputFunction sink) {
  return re5zor4::port::SetDebugOutput(sink);
}

ZnPromptFunction ZnSetPromptFunction(ZnPromptFunction prompt) {
  return re5zor4::port::SetPromptFunction(prompt);
}
