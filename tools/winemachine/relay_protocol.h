/* What the relay driver (relay.c) and the answerer (answerer.cpp) say to each other over the
 * control device \\.\ZelmRelay. Test equipment only: it stands in for the host controllers, hubs,
 * disks and volumes of a machine file under Wine, never shipped.
 *
 * The answerer names the device paths to own (RELAY_ADD), then keeps RELAY_GET requests pending;
 * each request of a program on one of those paths (open, control request, close) is handed to one
 * of them as a relay_request followed by the input bytes, and waits until RELAY_PUT brings its
 * relay_answer followed by the output bytes. Requests are handed in the order they were made.
 *
 * Wine 8 does not wait for the driver's answer to an open: CreateFileW succeeds once the path
 * exists. So the driver numbers each open file itself (relay_request.file) and hands the open on
 * as a request like the others, whose answer nobody waits for; a path the machine does not have
 * (any more) must have no link (RELAY_LINK), so that opening it fails as it does on Windows. */
#ifndef ZELMUSB_RELAY_PROTOCOL_H
#define ZELMUSB_RELAY_PROTOCOL_H

#define RELAY_CONTROL_LINK L"\\DosDevices\\ZelmRelay"
#define RELAY_CONTROL_DEVICE L"\\Device\\ZelmRelay"

/* CTL_CODE(0x8000, 0x910 + n, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define RELAY_ADD 0x80002440u /* in: the link name's characters (no terminator); out: ULONG index */
#define RELAY_GET 0x80002444u /* out: relay_request, then its input bytes */
#define RELAY_PUT 0x80002448u /* in: relay_answer, then the output bytes */
#define RELAY_LINK 0x8000244Cu /* in: relay_link: a path's link removed or made again */

/* The largest input or output a relayed request may carry. */
#define RELAY_MAX_DATA 65536u

enum relay_kind { relay_open = 1, relay_control = 2, relay_close = 3 };

struct relay_request {
    unsigned int id;          /* handed back in the answer */
    unsigned int kind;        /* relay_kind */
    unsigned int device;      /* the index RELAY_ADD gave the path */
    unsigned int code;        /* control code (relay_control) */
    unsigned int output_size; /* the caller's output buffer */
    unsigned int input_size;  /* the bytes that follow */
    unsigned long long file;  /* the open file's number, given by the driver at the open */
};

struct relay_answer {
    unsigned int id;
    unsigned int status;     /* NTSTATUS */
    unsigned long long reserved0;
    unsigned int size;       /* output bytes that follow (at most the caller's output size) */
    unsigned int reserved;
};

struct relay_link {
    unsigned int device;  /* the index RELAY_ADD gave the path */
    unsigned int present; /* 0: the link is removed; 1: made again */
};

#endif
