// The host API's two transmit hooks, which the CTS thread runs through
// OvApiCtsActive: the queued frame goes to the send task's UART descriptor,
// and the written flag is raised and posted so the send thread wakes at once.
// In a file of their own so that a program linking the host API (a test or
// a fuzz target) can bring its own hooks instead without link-order tricks.
#pragma once
// The hooks are declared by the host API (ovapi/OvApi.h). Here:
//   OvApiSupportTxData writes the frame to g_send.uartFd (nothing while it
//   is closed), ignores the write's result and answers 0;
//   OvApiSupportMessageWritten sets g_send.messageWritten and posts
//   g_send.wakeFd.
#include "ovapi/OvApi.h"
