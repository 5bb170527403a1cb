// The extended-procedure interface of opends60.dll (Open Data Services), declared from
// its documented signatures. x64 has a single calling convention, so plain C linkage
// matches the server's exports. The server process handle is opaque to the procedure.
#pragma once

extern "C" {

typedef struct srv_proc SRV_PROC;

// Return values of the interface's status functions.
#define SUCCEED 1
#define FAIL 0
// A length argument of this value means "the text is NUL-terminated".
#define SRV_NULLTERM (-1)
// Message type of an informational message.
#define SRV_MSG_INFO 1

// BYTE, ULONG and BOOL of the documentation, spelled without <windows.h> so that this
// header does not drag the Win32 macros (SendMessage among them) into the seam.
int srv_rpcparams(SRV_PROC* srvproc);
int srv_paraminfo(SRV_PROC* srvproc, int n, unsigned char* pbType, unsigned long* pcbMaxLen,
                  unsigned long* pcbActualLen, unsigned char* pbData, int* pfNull);
char* srv_paramname(SRV_PROC* srvproc, int n, int* len);
int srv_paramtype(SRV_PROC* srvproc, int n);
int srv_paramlen(SRV_PROC* srvproc, int n);
void* srv_paramdata(SRV_PROC* srvproc, int n);
int srv_convert(SRV_PROC* srvproc, int srctype, void* src, int srclen, int desttype, void* dest,
                int destlen);
int srv_sendmsg(SRV_PROC* srvproc, int msgtype, int msgnum, unsigned char msgclass,
                unsigned char state, char* rpcname, int rpcnamelen, unsigned short linenum,
                char* message, int msglen);
int srv_senddone(SRV_PROC* srvproc, unsigned short status, unsigned short curcmd, int count);
int srv_describe(SRV_PROC* srvproc, int colnumber, char* column_name, int namelen, int desttype,
                 int destlen, int srctype, int srclen, void* srcdata);
int srv_setcoldata(SRV_PROC* srvproc, int column, void* data);
int srv_setcollen(SRV_PROC* srvproc, int column, int len);
int srv_sendrow(SRV_PROC* srvproc);
char* srv_pfieldex(SRV_PROC* srvproc, int field, int* len);
int srv_getbindtoken(SRV_PROC* srvproc, char* token_buf);

}  // extern "C"
