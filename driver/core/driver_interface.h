/* The control interface of the USB filter driver (driver/linux, the daemon that is zelmusb.sys on
 * Linux; driver/wine_kernel, the Windows kernel driver the tests load under Wine), as a C header
 * both of them, their client (driver/client) and the test programs share.
 *
 * The driver's own codes and records are written here independently of the program's copy in
 * src/drivercontrol, on purpose: when the two disagree the end-to-end tests show it.
 *
 * All codes: device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS. Records are packed and
 * little-endian; they are read and written field by field at the offsets below.
 *
 * Errors (Windows codes, as GetLastError gives them after DeviceIoControl):
 *   1    ERROR_INVALID_FUNCTION     a code the driver does not know
 *   87   ERROR_INVALID_PARAMETER    an input of the wrong size or content
 *   122  ERROR_INSUFFICIENT_BUFFER  an output buffer smaller than the answer
 *   31   ERROR_GEN_FAILURE          USER_TEST_ON while another registration is live
 *   1168 ERROR_NOT_FOUND            a request id the driver never gave (or has forgotten)
 *   1235 ERROR_REQUEST_ABORTED      a verdict for a request that is no longer pending
 *   1450 ERROR_NO_SYSTEM_RESOURCES  a raise while the table of pending requests is full
 *   6 or 87                         USER_TEST_ON whose event handle names no event of the caller
 */
#ifndef ZELMUSB_DRIVER_INTERFACE_H
#define ZELMUSB_DRIVER_INTERFACE_H

#define ZD_CODE(function) (0x00220000u | ((unsigned)(function) << 2))

/* --- the codes the program sends ---------------------------------------------------------- */
#define ZD_IOCTL_CLEAR_NAME_LIST          0x22201Cu /* no input */
#define ZD_IOCTL_CLEAR_TYPE_LIST          0x222048u /* no input */
#define ZD_IOCTL_USER_TEST_ON             0x22205Cu /* event waiting record, 18 bytes */
#define ZD_IOCTL_USER_TEST_OFF            0x222060u /* no input */
#define ZD_IOCTL_GET_TEST_JSON            0x222064u /* json record in and out */
#define ZD_IOCTL_GET_TEST_JSON_SIZE       0x222068u /* json size record out, 14 bytes */
#define ZD_IOCTL_SET_TEST_RESULT          0x22206Cu /* test result record, 9 bytes */
#define ZD_IOCTL_NOTIFY_OFF               0x222074u /* no input */
#define ZD_IOCTL_SET_FILES_AND_CACHE_MODE 0x2220A4u /* 32-bit mode 0..3 */
#define ZD_IOCTL_HUBS_ACCEPT_ON           0x2220A8u /* no input */
#define ZD_IOCTL_HUBS_ACCEPT_OFF          0x2220ACu /* no input */

/* Event waiting record (input of USER_TEST_ON). */
#define ZD_EVENT_WAITING_SIZE 18u
#define ZD_EW_EVENT           0u  /* 8: the caller's event handle value */
#define ZD_EW_WAIT_TIME       8u  /* 8: wait for a verdict, 100 ns units */
#define ZD_EW_ZERO_WAIT       16u /* 1: nonzero = no time limit */
#define ZD_EW_DEFAULT_ACCEPT  17u /* 1: verdict applied without an answer, nonzero = allow */

/* Json size record (output of GET_TEST_JSON_SIZE). */
#define ZD_JSON_SIZE_SIZE  14u
#define ZD_JS_REQUEST_ID   0u  /* 8 */
#define ZD_JS_SIZE         8u  /* 4: bytes of the whole json record for that request */
#define ZD_JS_NO_DATA      12u /* 1: nonzero = nothing to fetch */

/* Json record (input and output of GET_TEST_JSON): 14-byte header, then the NUL-terminated
 * UTF-16LE text. An expired or answered request comes back as the header alone with no-data set. */
#define ZD_JSON_HEADER_SIZE 14u
#define ZD_JR_REQUEST_ID    4u  /* 8 */
#define ZD_JR_NO_DATA       12u /* 1 */
#define ZD_JR_TEXT          14u

/* Test result record (input of SET_TEST_RESULT). */
#define ZD_TEST_RESULT_SIZE 9u
#define ZD_TR_REQUEST_ID    0u /* 8 */
#define ZD_TR_REJECTED      8u /* 1: nonzero = block */

/* --- test-only codes: these drivers answer them, the program never sends them ------------- */

/* RAISE (function 0x901): a device arrives and the driver holds it.
 * Input: the raise header, then the device's JSON document as UTF-16LE (no NUL; at most
 * ZD_MAX_DOCUMENT_BYTES, an even count, no NUL character inside). Output: 8 bytes, the request id.
 * A hub arriving while hubs are always accepted, or any device while no user test is registered,
 * is admitted at once without asking (its verdict says so); otherwise the request is pending and
 * the registered event is set once for it. With ZD_RAISE_HOLD_UNREGISTERED in the flags, a device
 * arriving while no user test is registered is refused with 21 (ERROR_NOT_READY) instead: the
 * raiser keeps it held and raises it again once a user test is registered (the holder of a real
 * machine, which must never admit a device that nobody was asked about). A raiser that knows the
 * device's every interface is a hub interface sets ZD_RH_HUB; a device that says it is a hub but
 * carries another interface is asked like any device. */
#define ZD_IOCTL_TEST_RAISE      ZD_CODE(0x901) /* 0x222404 */
#define ZD_RAISE_HEADER_SIZE     8u
#define ZD_RH_HUB                0u /* 1: nonzero = the device is a hub */
#define ZD_RH_FLAGS              1u /* 1: ZD_RAISE_* */
#define ZD_RAISE_HOLD_UNREGISTERED 0x01u
#define ZD_RH_VID                2u /* 2 */
#define ZD_RH_PID                4u /* 2 */
#define ZD_RH_REV                6u /* 2 */
#define ZD_MAX_DOCUMENT_BYTES    0x200000u /* 2 MiB of text */

/* VERDICT (0x902): input 8 bytes request id; output the verdict record. 1168 for an unknown id. */
#define ZD_IOCTL_TEST_VERDICT    ZD_CODE(0x902) /* 0x222408 */
#define ZD_VERDICT_SIZE          4u
#define ZD_VR_STATE              0u /* 1: one of ZD_VERDICT_* */
#define ZD_VR_ALLOWED            1u /* 1: nonzero = admitted (0 while pending) */
#define ZD_VR_FETCHED            2u /* 1: nonzero = its text was fetched */

#define ZD_VERDICT_PENDING        1u /* waiting for an answer */
#define ZD_VERDICT_ANSWERED       2u /* answered through SET_TEST_RESULT */
#define ZD_VERDICT_TIMED_OUT      3u /* default applied: the wait time passed */
#define ZD_VERDICT_OFF            4u /* default applied: USER_TEST_OFF */
#define ZD_VERDICT_CLOSED         5u /* default applied: the registering handle was closed */
#define ZD_VERDICT_HUB_RULE       6u /* admitted without asking: hubs are always accepted */
#define ZD_VERDICT_UNASKED        7u /* admitted without asking: no user test registered */

/* STATE (0x903): no input; output the state header followed by as many of the most recent
 * journal entries as fit (oldest first). 122 when the output cannot hold the header. */
#define ZD_IOCTL_TEST_STATE      ZD_CODE(0x903) /* 0x22240C */
#define ZD_STATE_HEADER_SIZE     48u
#define ZD_SH_MAGIC              0u  /* 4: ZD_STATE_MAGIC */
#define ZD_SH_REGISTERED         4u  /* 1 */
#define ZD_SH_ZERO_WAIT          5u  /* 1 */
#define ZD_SH_DEFAULT_ACCEPT     6u  /* 1 */
#define ZD_SH_HUBS_ACCEPTED      7u  /* 1 */
#define ZD_SH_WAIT_TIME          8u  /* 8: as registered, 100 ns units */
#define ZD_SH_WAIT_CAP_MS        16u /* 4: 0 = no cap */
#define ZD_SH_FILES_CACHE_MODE   20u /* 4 */
#define ZD_SH_CAPTURE            24u /* 1: from the configuration file */
#define ZD_SH_FILTER             25u /* 1 */
#define ZD_SH_NOTIFY_HANDLE      26u /* 1 */
#define ZD_SH_CONFIG_READ        27u /* 1: nonzero = a configuration file was read at start */
#define ZD_SH_PENDING            28u /* 4: requests pending */
#define ZD_SH_JOURNAL_TOTAL      32u /* 4: entries ever written (sequence of the next one) */
#define ZD_SH_JOURNAL_RETURNED   36u /* 4: entries that follow the header */
#define ZD_SH_NEXT_REQUEST_ID    40u /* 8 */
#define ZD_STATE_MAGIC           0x5A444A31u /* "1JDZ" */

/* One journal entry: a control code and its result, or a verdict applied (code 0 for those the
 * driver applies on its own: time-outs, OFF, a closed handle, devices admitted unasked). */
#define ZD_JOURNAL_ENTRY_SIZE    24u
#define ZD_JE_SEQUENCE           0u  /* 4 */
#define ZD_JE_CODE               4u  /* 4 */
#define ZD_JE_RESULT             8u  /* 4: Windows code */
#define ZD_JE_VERDICT            12u /* 1: ZD_VERDICT_* or 0 */
#define ZD_JE_ALLOWED            13u /* 1 */
#define ZD_JE_REQUEST_ID         16u /* 8: 0 when no request is concerned */
#define ZD_JOURNAL_CAPACITY      256u

/* CAP_WAIT (0x904): input 4 bytes, a cap in milliseconds on the registered wait time (0 removes
 * it), so that tests of the default verdict take milliseconds. A zero-wait registration (no time
 * limit) stays without limit. */
#define ZD_IOCTL_TEST_CAP_WAIT   ZD_CODE(0x904) /* 0x222410 */

/* --- the administrator's questions (zelmusbctl): answered by the Linux daemon, from its udev holder
 * on a running machine; on a model machine DEVICES says holding 0 with no entries and ADMIT gives 1
 * (ERROR_INVALID_FUNCTION); the Windows test driver gives 1 to both. Only root and the driver's own
 * user reach the Linux daemon's control device. */

/* DEVICES (0x905): no input; output the devices header, then as many entries as fit, in sysfs name
 * order: every USB device of the machine (root hubs and interfaces left out) with its `authorized`
 * and what the driver is doing with it. 122 when the output cannot hold the header. */
#define ZD_IOCTL_DEVICES         ZD_CODE(0x905) /* 0x222414 */
#define ZD_DEVICES_HEADER_SIZE   16u
#define ZD_DH_MAGIC              0u  /* 4: ZD_DEVICES_MAGIC */
#define ZD_DH_HOLDING            4u  /* 1: nonzero = the driver holds the machine's real devices */
#define ZD_DH_HUBS_HELD          8u  /* 4: root hubs whose authorized_default the driver keeps at 0 */
#define ZD_DH_COUNT              12u /* 4: devices on the machine (entries that follow, if they fit) */
#define ZD_DEVICES_MAGIC         0x5A444431u /* "1DDZ" */
#define ZD_DEVICE_ENTRY_SIZE     48u
#define ZD_DE_NAME               0u  /* 32: the sysfs name, ASCII, NUL-padded */
#define ZD_DE_AUTHORIZED         32u /* 1: `authorized` as read: 0, 1, or 0xFF when it cannot be read */
#define ZD_DE_HELD               33u /* 1: ZD_HELD_* */
#define ZD_DE_DECIDED            34u /* 1: ZD_DECIDED_*: who decided it since the driver started */
#define ZD_DE_REQUEST_ID         40u /* 8: the question asked about it, 0 when none */
#define ZD_DEVICE_NAME_MAX       31u

#define ZD_HELD_NONE             0u /* not held by the driver: decided, or present before it held */
#define ZD_HELD_ASKED            1u /* asked: waiting for a verdict */
#define ZD_HELD_NO_REGISTRATION  2u /* waiting for a user test to be registered */
#define ZD_HELD_NO_ROOM          3u /* waiting for room among the pending questions */
#define ZD_HELD_READING          4u /* its files are being read (tried again) */

#define ZD_DECIDED_NONE          0u /* nobody since the driver started (present before, or decided before) */
#define ZD_DECIDED_VERDICT       1u /* a verdict on its question (the program's answer or the default) */
#define ZD_DECIDED_ADMIN         2u /* the administrator, through ADMIT */

/* ADMIT (0x906): admits or refuses a present device now. Input: 1 byte, nonzero = admit, then the
 * sysfs name (1 to ZD_DEVICE_NAME_MAX bytes of digits, '-' and '.'). A device asked about gets the
 * verdict as if the program had answered (the program's own answer then comes too late); its
 * `authorized` is written at once. 87 for a name of another form, 2 (ERROR_FILE_NOT_FOUND) for no
 * such device, 5 when `authorized` cannot be written. */
#define ZD_IOCTL_ADMIT           ZD_CODE(0x906) /* 0x222418 */

#endif
