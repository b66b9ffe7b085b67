/* The behaviour of the USB filter driver (the Linux daemon and the Wine kernel driver), once, in
 * freestanding C: the table of held devices (requests), the user-test registration, verdicts and
 * their defaults, the journal.
 *
 * The core owns no thread, clock, lock or handle. Its host (the Linux daemon or the kernel driver)
 * passes the time of each call, serialises the calls, and gives it the few services below through
 * `zd_ops`. Nothing here waits or blocks, so no caller is ever held up by another.
 *
 * Time is in 100 ns units from any fixed origin. A registered wait time runs from the raise of
 * each request; `zd_expire` applies the default verdict to the requests whose time has passed and
 * tells the host when to call it next.
 *
 * Signalling is edge-style, as the driver does it: the registered event is set once when a
 * request is raised. A client that fetches one request per signal, after several requests came
 * in before it looked, fetches only one of them; the others meet their default on time-out.
 */
#ifndef ZELMUSB_DRIVER_CORE_H
#define ZELMUSB_DRIVER_CORE_H

#include "driver_interface.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char zd_u8;
typedef unsigned short zd_u16;
typedef unsigned int zd_u32;
typedef unsigned long long zd_u64;
typedef __SIZE_TYPE__ zd_size;
typedef __UINTPTR_TYPE__ zd_uptr;

#define ZD_NEVER 0xFFFFFFFFFFFFFFFFull

/* Requests held at once (pending), and verdicts remembered (pending and decided). */
#define ZD_MAX_PENDING 128u
#define ZD_MAX_RECORDS 1024u
/* Text held by pending requests at once. */
#define ZD_MAX_HELD_BYTES (32u * 1024u * 1024u)
/* No call writes more output than this (the largest is a JSON record of a document of
 * ZD_MAX_DOCUMENT_BYTES; the state with a full journal is far smaller), so a host may hand the
 * core a buffer of this size in place of a larger one announced and get the same result. */
#define ZD_MAX_OUTPUT_BYTES (ZD_JSON_HEADER_SIZE + ZD_MAX_DOCUMENT_BYTES + 2u)

typedef struct zd_ops {
    void* ctx;
    void* (*alloc)(void* ctx, zd_size bytes); /* NULL when out of memory */
    void (*release)(void* ctx, void* block);
    /* Opens, for the driver, the event that handle value `value` names in the process of the
     * current caller (`call` is what the host passed to zd_control). 0 with *token set, or a
     * Windows error. */
    zd_u32 (*open_event)(void* ctx, void* call, zd_u64 value, zd_uptr* token);
    void (*set_event)(void* ctx, zd_uptr token);
    void (*close_event)(void* ctx, zd_uptr token);
} zd_ops;

typedef struct zd_request {
    zd_u64 id;        /* 0: the slot is free */
    zd_u64 deadline;  /* ZD_NEVER: no time limit */
    zd_u16* text;     /* NUL-terminated; released once the request is decided */
    zd_u32 text_chars;
    zd_u8 state;      /* ZD_VERDICT_* */
    zd_u8 allowed;
    zd_u8 fetched;
    zd_u8 default_allow;
} zd_request;

typedef struct zd_journal_entry {
    zd_u32 sequence, code, result;
    zd_u8 verdict, allowed;
    zd_u64 request_id;
} zd_journal_entry;

typedef struct zd_core {
    zd_ops ops;
    /* the registration */
    zd_u8 registered, zero_wait, default_accept;
    zd_uptr owner;      /* the handle (connection, file object) that registered */
    zd_uptr event;      /* token from open_event */
    zd_u64 wait_time;
    zd_u32 wait_cap_ms;
    /* options */
    zd_u8 hubs_accepted, capture, filter, notify_handle, config_read;
    zd_u32 files_cache_mode;
    /* requests */
    zd_u64 next_id;
    zd_u32 pending;
    zd_u64 held_bytes;
    zd_request records[ZD_MAX_RECORDS];
    /* journal, a ring */
    zd_u32 journal_total;
    zd_journal_entry journal[ZD_JOURNAL_CAPACITY];
    /* Told of every verdict, when set (zd_set_decided_hook); called inside the core's call. */
    void (*decided)(void* ctx, zd_u64 id, zd_u8 allowed);
    void* decided_ctx;
} zd_core;

/* Defaults: no registration, options as a fresh configuration file has them. */
void zd_init(zd_core* core, const zd_ops* ops);

/* Every verdict from now on (answered, defaulted, or admitted without asking) is also passed to
 * `hook` with the request id, from inside the call that decides it. The host that holds real
 * devices applies the verdicts through it. */
void zd_set_decided_hook(zd_core* core, void (*hook)(void* ctx, zd_u64 id, zd_u8 allowed), void* ctx);

/* Reads the options of a configuration file (UTF-16 JSON text; the members "capture", "filter",
 * "notify_handle", "hubs_always_accepted", "filesAndCacheMode"). Members absent or of another
 * form leave their option as it was. */
void zd_apply_config(zd_core* core, const zd_u16* text, zd_size chars);

/* One DeviceIoControl: `caller` names the handle it came through, `call` is passed back to
 * open_event. `input` and `output` may be one buffer (METHOD_BUFFERED): the whole input is read
 * before any output is written. Returns 0 or a Windows error; *returned is the bytes of output. */
zd_u32 zd_control(zd_core* core, zd_uptr caller, void* call, zd_u64 now, zd_u32 code,
                  const void* input, zd_u32 input_size, void* output, zd_u32 output_size,
                  zd_u32* returned);

/* The handle `caller` was closed (IRP_MJ_CLEANUP, end of connection): a registration made
 * through it ends and its pending requests get the default verdict. */
void zd_cleanup(zd_core* core, zd_uptr caller, zd_u64 now);

/* Applies the default verdict to every pending request whose time has passed. Returns the
 * earliest deadline still ahead, or ZD_NEVER. */
zd_u64 zd_expire(zd_core* core, zd_u64 now);

/* Unload: the registration ends (pending requests get the default), everything is released. */
void zd_shutdown(zd_core* core, zd_u64 now);

#ifdef __cplusplus
}
#endif

#endif
