// The host API's two transmit hooks, which the CTS thread runs through
// OvApiCtsActive: the queued frame goes to the send task's UART descriptor,
// and the outcome is reported, under the command's number, so the send
// thread wakes at once. In a file of their own so that a program linking the
// host API (a test or a fuzz target) can bring its own hooks instead without
// link-order tricks.
#pragma once
// The hooks are declared by the host API (ovapi/OvApi.h). Here:
//   OvApiSupportTxData borrows g_send.uart and writes the whole frame,
//   continuing after partial writes, for at most SEND_TX_BOUND_MS (a stop
//   waits for it). Ok when every byte went out; otherwise NotSent, with the
//   errno (ENODEV while there is no descriptor, ETIMEDOUT when the device
//   took too long) in g_send.failedErrno and the slot's userData in
//   g_send.failedId, and g_send.wakeFd posted.
//   OvApiSupportMessageWritten stores its userData in g_send.writtenId and
//   posts g_send.wakeFd.
#include "ovapi/OvApi.h"
