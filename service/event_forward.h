#pragma once
// Forwards the Windows session changes the service is told of to the
// container, as one UTF-16 message on its standard input.

#include <windows.h>

#include <string>

// "NotifyWinEvent" + eventType + "EventId" + sessionId, unsigned decimal,
// no separators (at most 41 characters).
std::string ComposeWinEventMessage(DWORD eventType, DWORD sessionId);

// eventData is the WTSSESSION_NOTIFICATION the control handler was given.
// Always true: a lost message is logged by the send and not retried.
bool NotifyWinEvent(DWORD eventType, void* eventData);
