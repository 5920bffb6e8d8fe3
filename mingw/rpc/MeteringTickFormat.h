/* The NDR procedure format of the callback MeteringTick([in] hyper tickCount, [in] hyper
 * callerValue), callback number 0, for the fully interpreted engine (NdrClientCall2 on the server,
 * NdrServerCall2 on the client), laid out as Microsoft documents the -Oicf procedure header and
 * parameter descriptions for 64-bit Windows. Both sides read this one string. */
#ifndef METERING_TICK_FORMAT_H
#define METERING_TICK_FORMAT_H

#include <rpcndr.h>

#define METERING_TICK_CALLBACK_NUMBER 0

static const unsigned char MeteringTick_ProcFormat[] = {
    /* Procedure header (Oi part). */
    0x34,                 /* handle type FC_CALLBACK_HANDLE: the binding of the call in progress */
    0x48,                 /* Oi flags: Oi_HAS_RPCFLAGS | Oi_OBJ_USE_V2_INTERPRETER */
    NdrFcLong(0x0),       /* RPC flags */
    NdrFcShort(METERING_TICK_CALLBACK_NUMBER), /* procedure number: the callback's own number */
    NdrFcShort(0x10),     /* stack size: two 8-byte arguments */
    /* Oif part: no explicit handle description follows an implicit handle. */
    NdrFcShort(0x20),     /* constant client buffer: two hypers with their alignment slack */
    NdrFcShort(0x0),      /* constant server buffer: nothing comes back */
    0x40,                 /* Oi2 flags: has extensions; no return value, nothing to size */
    0x02,                 /* two parameters */
    /* Extension (Windows 2000 and later; 10 bytes on 64-bit, with the float argument mask). */
    0x0a,                 /* extension size */
    0x00,                 /* flags 2: no correlation checks needed for base types */
    NdrFcShort(0x0),      /* client correlation hint */
    NdrFcShort(0x0),      /* server correlation hint */
    NdrFcShort(0x0),      /* notify index */
    NdrFcShort(0x0),      /* float argument mask: none */
    /* tickCount: [in], base type, stack offset 0, FC_HYPER. */
    NdrFcShort(0x48), NdrFcShort(0x0), 0x0b, 0x00,
    /* callerValue: [in], base type, stack offset 8, FC_HYPER. */
    NdrFcShort(0x48), NdrFcShort(0x8), 0x0b, 0x00,
};

#endif
