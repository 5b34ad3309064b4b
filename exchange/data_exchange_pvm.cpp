// The PVM side of the call channel: the call-start message, one text per data
// message, and the relay of a proxy. Every PVM action goes through the
// per-thread buffer layer, which serialises the library and keeps each
// thread's active buffers its own. Cancellation is held off while a PVM
// action runs, so a stopped call never leaves the library's lock taken.
#include <limits.h>
#include <pvm3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cancel_guard.h"
#include "data_exchange.h"
#include "pvm_buffers.h"

// ---------------------------------------------------------------------------
// Messages of a call.

static void send_call_start(DataExchange* de, const char* module, const char* function) {
  NoCancelScope no_cancel;
  PvmBufferScope scope;
  int task = de->pvm_task_id;
  int tag = de->pvm_msg_tag;
  pvm_initsend(PvmDataDefault);
  pvm_pkint(&task, 1, 1);
  pvm_pkint(&tag, 1, 1);
  pvm_pkstr(de->GetFunctionKey());
  pvm_pkstr(const_cast<char*>(module));
  pvm_pkstr(const_cast<char*>(function));
  pvm_send(task, 0);
}

int DataExchange::PvmCallStart(const char* function_name) {
  send_call_start(this, GetModuleName(), function_name == nullptr ? "" : function_name);
  return 1;
}

int DataExchange::PvmStopCall() {
  if (pvm_task_id <= 0) return 0;
  send_call_start(this, "", PVM_STOP_CALL);
  return 1;
}

// The proxy's texts to its worker (the client's arguments and its
// end-of-arguments line) are framed like the relay's link: a text that
// begins with the escape byte gets a second one, and the escape byte followed
// by anything else says that the client left.
static const char kEscape = 0x1b;
static const char kAbandoned[] = {kEscape, 'A', '\0'};
enum { FRAMED_TEXT_SIZE = UNIT_DATA_SIZE + 1 };

static int send_text(DataExchange* de, const char* text) {
  NoCancelScope no_cancel;
  return pvm_thread_send_text(de->pvm_task_id, de->pvm_msg_tag, text);
}

// A proxy's text that begins with the escape byte goes with a second one.
static int send_framed(DataExchange* de, const char* text) {
  if (de->data_service_type != PVM_PROXY_SERVICE || text[0] != kEscape) return send_text(de, text);
  char framed[FRAMED_TEXT_SIZE + 1];
  snprintf(framed, sizeof(framed), "%c%s", kEscape, text);
  return send_text(de, framed);
}

// A call whose worker failed it has no partner any more (pvm_task_id 0):
// later sends and receives fail at once instead of waiting for texts that
// will never come.
int DataExchange::PvmSend(const char* text) {
  int rc = PvmNoTask;
  if (pvm_task_id > 0) rc = send_framed(this, text == nullptr ? "" : text);
  if (rc < 0 && cinfo.execution_type != 0) delivery_lost = 1;
  return rc;
}

int DataExchange::PvmAbandonCall() {
  if (pvm_task_id <= 0) return 0;
  send_text(this, kAbandoned);
  // The worker sends nothing more for this call.
  pvm_task_id = 0;
  return 1;
}

// The worker's side of the framing above: the text unframed into the unit
// buffer, or the call marked as abandoned (every later receive then gives an
// empty text at once).
static void unframe(DataExchange* de, const char* framed) {
  if (framed[0] == kEscape && framed[1] != kEscape) {
    de->conversation_over = 1;
    de->unit_data[0] = '\0';
    return;
  }
  const char* text = framed[0] == kEscape ? framed + 1 : framed;
  size_t length = strnlen(text, sizeof(de->unit_data) - 1);
  memcpy(de->unit_data, text, length);
  de->unit_data[length] = '\0';
}

// The text a proxy relays for a call its worker failed. On the scalar
// call-back path a bare "#LIB_ERROR" would carry no key, so the client could
// not tell which call it ends: a thread gets the value "#LIB_ERROR" under its
// key, a stream that value once and then its end text.
static void failure_text(char* out, size_t size, int return_type, const char* key, int first) {
  if (return_type == RETURN_SCALAR_THREAD)
    snprintf(out, size, "#THREAD_%s=#LIB_ERROR", key);
  else if (return_type == RETURN_SCALAR_STREAM && first)
    snprintf(out, size, "#STREAM_%s=#LIB_ERROR", key);
  else if (return_type == RETURN_SCALAR_STREAM)
    snprintf(out, size, "#STREAM_%s", key);
  else
    snprintf(out, size, "#LIB_ERROR");
}

char* DataExchange::PvmReceive() {
  if (data_service_type == PVM_SLAVE_SERVICE) {
    if (conversation_over) {
      unit_data[0] = '\0';
      return unit_data;
    }
    char framed[FRAMED_TEXT_SIZE];
    int rc;
    {
      NoCancelScope no_cancel;
      rc = pvm_thread_recv_text(pvm_task_id, pvm_msg_tag, -1, framed, sizeof(framed));
    }
    if (rc > 0) {
      unframe(this, framed);
    } else {
      // The server is gone: no argument of this call will come.
      snprintf(unit_data, sizeof(unit_data), "#LIB_ERROR");
      conversation_over = 1;
    }
    return unit_data;
  }
  if (pvm_task_id <= 0) {
    failure_text(unit_data, sizeof(unit_data), cinfo.return_type, GetFunctionKey(), 0);
    return unit_data;
  }
  int rc;
  {
    NoCancelScope no_cancel;
    rc = pvm_thread_recv_text(pvm_task_id, pvm_msg_tag, -1, unit_data, sizeof(unit_data));
  }
  if (rc <= 0) snprintf(unit_data, sizeof(unit_data), "#LIB_ERROR");
  // The worker answers "#LIB_ERROR" when it cannot run the call at all.
  if (data_service_type == PVM_PROXY_SERVICE && strcmp(unit_data, "#LIB_ERROR") == 0) {
    pvm_task_id = 0;
    failure_text(unit_data, sizeof(unit_data), cinfo.return_type, GetFunctionKey(), 1);
  }
  return unit_data;
}

void DataExchange::SwapKeys() {
  char key[CALLBACK_NAME_SIZE];
  memcpy(key, cinfo.function_key, sizeof(key));
  memcpy(cinfo.function_key, cinfo.pvm_key, sizeof(key));
  memcpy(cinfo.pvm_key, key, sizeof(key));
}

// ---------------------------------------------------------------------------
// Container relay on a proxy: the worker's units pass to the client one by
// one; the count (or index) is taken from the text before the client's
// acknowledgement overwrites the unit buffer.

int DataExchange::relay_unit(int* number) {
  PvmReceive();
  int failed = strcmp(unit_data, "#LIB_ERROR") == 0;
  if (number != nullptr) *number = atoi(unit_data);
  int rc = send_data(1);
  return failed ? 0 : rc;
}

// ---------------------------------------------------------------------------
// Call-back connections of a PVM call. The worker has no client address: its
// make_connection sends the marker line as a PVM text instead. The proxy
// opens the client connections itself, and for a live thread (whose proxy
// stub never runs the user function, so never calls Send) relays all of the
// worker's deliveries when the stub reaches its final make_connection(-1).

enum { NOT_A_MARKER = INT_MIN };

// The marker the worker sends for a delivery of this call: the form of
// open_client_connection with the server's key. Returns the marker's
// number, or NOT_A_MARKER when `text` is not such a marker.
static int marker_of(const char* text, const char* key) {
  const char* forms[] = {"#STREAM_", "#THREAD_"};
  for (const char* form : forms) {
    size_t form_length = strlen(form), key_length = strlen(key);
    if (strncmp(text, form, form_length) != 0) continue;
    if (strncmp(text + form_length, key, key_length) != 0) continue;
    const char* rest = text + form_length + key_length;
    if (*rest != '~') continue;
    char* end = nullptr;
    long value = strtol(rest + 1, &end, 10);
    if (end == rest + 1 || *end != '\0') continue;
    return (int)value;
  }
  return NOT_A_MARKER;
}

// Proxy of a live thread: each worker delivery gets a client connection of
// its own, its units pass one by one (each acknowledged by the client), and
// the connection closes as soon as the worker's Send has ended (its
// DELIVERY_END_MARKER), as it does locally. The worker's end marker (or a
// lost worker) ends the relay with the end connection. A stop from the
// client takes effect before the next text; a delivery the client could not
// be given ends the call as if stopped.
static int relay_deliveries(DataExchange* de) {
  for (;;) {
    call_safe_point();
    de->PvmReceive();
    int marker = marker_of(de->unit_data, de->GetFunctionKey());
    if (marker == DELIVERY_END_MARKER) {
      if (de->end_delivery() == 0) return de->end_lost_relay();
      continue;
    }
    if (marker != NOT_A_MARKER || strcmp(de->unit_data, "#LIB_ERROR") == 0) {
      de->close_connection();
      if (marker == NOT_A_MARKER || marker == -1) return de->open_client_connection(-1);
      if (!de->open_client_connection(marker)) return de->end_lost_relay();
      continue;
    }
    if (de->sd <= 0 || de->send_data(1) <= 0 || de->delivery_lost) return de->end_lost_relay();
  }
}

int DataExchange::PvmMakeConnection(int marker) {
  if (data_service_type == PVM_SLAVE_SERVICE) {
    snprintf(unit_data, sizeof(unit_data), cinfo.execution_type == 1 ? "#THREAD_%s~%d" : "#STREAM_%s~%d",
             GetFunctionKey(), marker);
    return PvmSend(unit_data) > 0 ? 1 : 0;
  }
  if (cinfo.execution_type == 2 && marker == -1) return relay_deliveries(this);
  // A thread's delivery: the worker's marker comes first; the stub then
  // relays the units.
  PvmReceive();
  return open_client_connection(marker);
}
