// Control side of the opends60.dll stand-in: the test host builds a call (parameters,
// connection fields, bind token), hands the handle to xp_Varnel, and reads back what the
// procedure sent, plus every misuse of the interface the stand-in noticed.
#pragma once

#include "platform/windows/OdsApi.h"

extern "C" {

SRV_PROC* odsdouble_open(void);
void odsdouble_close(SRV_PROC* call);

// name NULL or empty: a positional parameter. data holds length bytes; isNull marks a
// NULL value of the given type.
void odsdouble_add_param(SRV_PROC* call, const char* name, int type, const void* data, int length,
                         int maxLength, int isNull);
// What srv_rpcparams answers instead of the number of parameters added.
void odsdouble_set_param_count(SRV_PROC* call, int count);
void odsdouble_set_field(SRV_PROC* call, int field, const char* value);
// NULL: the caller has no bind token and srv_getbindtoken fails.
void odsdouble_set_bind_token(SRV_PROC* call, const char* token);

// The server's thread enters and leaves the procedure: calls from other threads, and
// calls after the procedure returned, are misuses.
void odsdouble_enter(SRV_PROC* call);
void odsdouble_leave(SRV_PROC* call);

// The call as JSON: {"messages": [...], "columns": [...], "rows": [...], "done": [...],
// "return": n}. Misuses as lines of text. Both write at most size bytes with a NUL and
// return the full length, so a caller with too small a buffer asks again.
int odsdouble_report(SRV_PROC* call, int returnValue, char* buffer, int size);
int odsdouble_misuses(SRV_PROC* call, char* buffer, int size);

}  // extern "C"
